#include "quarvo/core/time.hpp"
