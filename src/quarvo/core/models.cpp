#include "quarvo/core/models.hpp"
