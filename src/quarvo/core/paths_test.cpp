#include "quarvo/core/paths.hpp"

#include <gtest/gtest.h>
