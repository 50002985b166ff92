// The shared block cache a tree configuration holds: the cache itself lives
// in tervik/cache; this header keeps the configuration's include path.
#pragma once

#include "tervik/cache/block_cache.h"
