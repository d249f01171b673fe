#include "quarvo/juicefs/juicefs.hpp"

#include <gtest/gtest.h>
