/*
 * quor_pc.h - product codes of the boards and the firmware's module
 * service.  The board's string specs carry its product code ("PC=") and PHY
 * chip ("XFI="); the PHY tool reads the module cage from the code's plug
 * field and the simulated boards write codes from the same table, so a code
 * one writes is one the other knows.  Valid C and C++.
 */
#ifndef QUOR_PC_H
#define QUOR_PC_H

#include "quor_io.h"

/* Module cage kinds, numbered as the PHY tool numbers them. */
enum quor_plug {
    QUOR_PLUG_NONE = 0,
    QUOR_PLUG_UNKNOWN = 1,
    QUOR_PLUG_CX4 = 2,
    QUOR_PLUG_XFP = 3,
    QUOR_PLUG_SFPP = 4,
    QUOR_PLUG_QSFP = 5,
    QUOR_PLUG_CJ = 6
};

/* A product code: the 8-character family prefix, "-<revision>", then the
 * plug field: '-', one character, then uppercase letters and the digits 2
 * and 4 ("QN10GKVB-S2-2SP"). */
#define QUOR_PC_PREFIX "QN10GKVB"
#define QUOR_PC_PREFIX_LEN 8
QUOR_STATIC_ASSERT(sizeof(QUOR_PC_PREFIX) - 1 == QUOR_PC_PREFIX_LEN, "family prefix length");
/* Early boards carry a code of their own that stands for this one. */
#define QUOR_PC_PROTO "QNPROTO-KVB"
#define QUOR_PC_PROTO_AS QUOR_PC_PREFIX "-P0-2SP"

struct quor_pc_plug {
    const char *suffix;
    int plug; /* enum quor_plug */
    int dual; /* a dual-port board: its PHY answers at port address 1 */
};
#define QUOR_PC_PLUGS 7
/* Characters of the longest suffix: a longer plug field is no known one. */
#define QUOR_PC_PLUG_MAX 4
static const struct quor_pc_plug quor_pc_plugs[QUOR_PC_PLUGS] = {
    {"-XF", QUOR_PLUG_XFP, 0},  {"-CX", QUOR_PLUG_CX4, 0},  {"-CJ", QUOR_PLUG_CJ, 0},
    {"-QS", QUOR_PLUG_QSFP, 0}, {"-SP", QUOR_PLUG_SFPP, 0}, {"-2SP", QUOR_PLUG_SFPP, 1},
    {"-2QS", QUOR_PLUG_QSFP, 1},
};

/* The codes the simulated boards carry unless told otherwise: a single-port
 * XFP board, dual-port SFP+ and QSFP boards. */
#define QUOR_PC_XFP QUOR_PC_PREFIX "-X1-XF"
#define QUOR_PC_SFPP QUOR_PC_PREFIX "-S2-2SP"
#define QUOR_PC_QSFP QUOR_PC_PREFIX "-Q2-2QS"

/* Bytes of the string specs (KEY=value strings, ended by an empty one). */
#define QUOR_NFW_SPECS_LEN 256

/* Firmware module service, window mode 10.  Writing QUERY to the data
 * register (address register 0) makes the address register read the
 * adapter address of the service's 256-byte buffer, or 0 without the
 * service.  Any other data word is an access:
 *   port << 24 | i2c address << 16 | first register << 8 | bytes (0: 256)
 * with an odd address reading the module into the buffer and an even one
 * writing the buffer's byte at the register.  The status byte behind the
 * buffer reads BUSY while the access runs, then 0 or a failure. */
#define QUOR_NFW_XFP_QUERY 256u
#define QUOR_NFW_XFP_STATUS 256u
#define QUOR_NFW_XFP_BUSY 8u

#endif /* QUOR_PC_H */
