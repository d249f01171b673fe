#include "quarvo/core/time.hpp"

#include <gtest/gtest.h>
