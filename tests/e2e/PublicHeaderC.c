/* The public header must compile as C99: a host written in C includes it like this. */
#include "usbRedirectionPlugin.h"

int usbredir_c_header_table_size(void);

int usbredir_c_header_table_size(void) {
  USBRedir_CallbackInterface table = {0};
  USBRedir_SendResponseExt ext = {0};
  (void)table;
  (void)ext;
  return (int)(sizeof(USBRedir_CallbackInterface) + sizeof(USBRedir_SendResponseExt));
}
