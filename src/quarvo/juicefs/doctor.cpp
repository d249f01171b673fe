#include "quarvo/juicefs/doctor.hpp"
