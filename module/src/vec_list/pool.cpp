#include "pool.hpp"
