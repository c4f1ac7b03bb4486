// The collection engine's threads: the abstract collector and the TSDB-writing one.
#pragma once

#include "korrin/base_collector.h"
#include "korrin/opc_collector.h"
