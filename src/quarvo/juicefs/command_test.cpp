#include "quarvo/juicefs/command.hpp"

#include <gtest/gtest.h>
