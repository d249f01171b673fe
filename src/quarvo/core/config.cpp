#include "quarvo/core/config.hpp"
