// The query function and the interface tables of the stand-in library. Tables are filled per
// query from the fault switches and version limits current at that moment.
// Thread safe: filling reads only atomics; every table function is thread safe.
#pragma once

#include "channel/KapServiceApi.h"

namespace kapsim {

// The record a successful init hands back.
KAP_SERVICE_QUERY_INTERFACE MakeQueryRecord();

}  // namespace kapsim
