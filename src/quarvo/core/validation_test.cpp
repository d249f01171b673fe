#include "quarvo/core/validation.hpp"

#include <gtest/gtest.h>
