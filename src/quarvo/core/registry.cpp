#include "quarvo/core/registry.hpp"
