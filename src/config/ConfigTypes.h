// The one-byte boolean of the configuration calls (1 true, 0 false), shared with the
// channel-service declarations, which use the same type.
#ifndef CONFIG_CONFIGTYPES_H
#define CONFIG_CONFIGTYPES_H

typedef unsigned char Bool;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#endif  // CONFIG_CONFIGTYPES_H
