#include "quarvo/core/paths.hpp"
