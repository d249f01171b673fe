#include "quarvo/core/store.hpp"

#include <gtest/gtest.h>
