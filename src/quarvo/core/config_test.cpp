#include "quarvo/core/config.hpp"

#include <gtest/gtest.h>
