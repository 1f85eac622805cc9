/* The public header must compile as C99, its own layout checks included: a host written in
   C includes it like this. */
#include "usbRedirectionPlugin.h"
