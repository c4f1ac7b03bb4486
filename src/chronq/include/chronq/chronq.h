// chronq: the whole client.
#pragma once

#include "chronq/conn.h"
#include "chronq/db_utils.h"
#include "chronq/history.h"
#include "chronq/partitions.h"
#include "chronq/source.h"
#include "chronq/tag.h"
#include "chronq/tsdata.h"
#include "chronq/types.h"
