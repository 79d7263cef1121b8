#pragma once

// Constants of the window system: window types and flags, view flags and
// resizing modes, screens and alert kinds. Plain values, usable anywhere.

#include "SupportDefs.h"

enum window_type : int32 {
    // A titled window that belongs to the thread that runs it: BAlert's. It
    // is never shown on its own (Show() does nothing) and is not one of the
    // application's windows; the window whose thread runs it keeps it above
    // itself and takes it along when it goes.
    B_MODAL_WINDOW = 3,
    // A real top-level window without a title bar or border.
    B_BORDERED_WINDOW = 20,
};

// Window flags.
inline constexpr uint32 B_NOT_RESIZABLE = 0x00000002;
inline constexpr uint32 B_NOT_ZOOMABLE = 0x00000040;
inline constexpr uint32 B_CURRENT_WORKSPACE = 0;

// The keys views are told of (BView::KeyDown), as the byte each one sends.
inline constexpr char B_ENTER = '\n';
inline constexpr char B_ESCAPE = 0x1b;

// View flags.
inline constexpr uint32 B_WILL_DRAW = 0x20000000;
inline constexpr uint32 B_PULSE_NEEDED = 0x10000000;

// View resizing modes. Windows are never resized here, so the mode is only
// recorded.
inline constexpr uint32 B_FOLLOW_ALL = 2;

struct screen_id {
    int32 id = 0;
};
inline constexpr screen_id B_MAIN_SCREEN_ID { 0 };

enum button_width : int32 {
    B_WIDTH_AS_USUAL = 0,
};

enum alert_type : int32 {
    B_INFO_ALERT = 1,
};
