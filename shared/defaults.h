// defaults.h - where the radio is heard unless told otherwise: the group and
// port that the server sends to and that every receiver joins.
#pragma once

// Macros, so that usage texts can quote them inside one string literal.
#define DEFAULT_MGROUP "224.2.2.2"
#define DEFAULT_PORT 1989
#define DEFAULT_PORT_TEXT DEFAULT_TEXT_OF(DEFAULT_PORT)  // "1989"

#define DEFAULT_TEXT_OF(x) DEFAULT_TEXT_OF_(x)
#define DEFAULT_TEXT_OF_(x) #x
