#include "quarvo/juicefs/juicefs.hpp"
