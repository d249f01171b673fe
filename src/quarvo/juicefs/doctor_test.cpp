#include "quarvo/juicefs/doctor.hpp"

#include <gtest/gtest.h>
