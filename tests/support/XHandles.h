#pragma once

// Xlib's handle types, declared as Xlib declares them, for headers that only
// pass handles around. Xlib itself stays in the sources that call it: its
// macros (None, Bool, Status, ...) break other headers, GoogleTest's among
// them, wherever they come first.

typedef struct _XDisplay Display;
// Resource ids and key symbols are all Xlib's XID, an unsigned long.
typedef unsigned long Window;
typedef unsigned long Atom;
typedef unsigned long KeySym;
