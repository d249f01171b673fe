#include "quarvo/juicefs/service.hpp"

#include <gtest/gtest.h>
