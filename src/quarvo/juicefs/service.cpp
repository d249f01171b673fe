#include "quarvo/juicefs/service.hpp"
