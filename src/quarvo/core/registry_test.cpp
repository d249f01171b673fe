#include "quarvo/core/registry.hpp"

#include <gtest/gtest.h>
