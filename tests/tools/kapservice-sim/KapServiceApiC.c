/* The channel-service ABI header must compile as C99: a C caller includes it like this. */
#include "channel/KapServiceApi.h"

size_t kapservice_c_variant_union_offset(void);

size_t kapservice_c_variant_union_offset(void) {
  KAP_RPC_VARIANT v = {0};
  (void)v;
  return offsetof(KAP_RPC_VARIANT, blobVal);
}
