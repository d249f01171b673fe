#include "quarvo/juicefs/command.hpp"
