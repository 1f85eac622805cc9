/* The channel-service ABI header must compile as C99, its own layout checks included: a C
   caller includes it like this. */
#include "channel/KapServiceApi.h"
