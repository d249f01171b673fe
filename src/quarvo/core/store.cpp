#include "quarvo/core/store.hpp"
