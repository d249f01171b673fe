#include "quarvo/core/models.hpp"

#include <gtest/gtest.h>
