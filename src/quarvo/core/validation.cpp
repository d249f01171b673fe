#include "quarvo/core/validation.hpp"
