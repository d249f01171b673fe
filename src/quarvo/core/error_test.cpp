#include "quarvo/core/error.hpp"

#include <gtest/gtest.h>
