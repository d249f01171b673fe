#include "quarvo/core/toml_reader.hpp"
