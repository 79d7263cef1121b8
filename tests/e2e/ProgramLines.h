#pragma once

// The lines of the program's output that tests look for, spelled once. The
// sound prints its format on stdout with its first buffer; every other line
// goes to stderr and starts with the program's name (a test program's
// lines with its own).

#include <string>

// The format: five lines, each with its line end, printed together.
inline const std::string kFormatLines = "format.frame_rate = 44100.000000\n"
                                        "format.channel_count = 2\n"
                                        "format.format 36\n"
                                        "format.byte_order = 2\n"
                                        "format.buffer_size = 8192\n";
// How each format line starts.
inline const std::string kFormatPrefix = "format.";
// An instance lost its sound server and tries to get it back.
inline const std::string kSoundLostLine = "gondavel_wubbix: lost the sound server; reconnecting";
// The starts of lines that go on to say more: why the sound output didn't
// open; which display went away ("display :N", "Wayland display NAME");
// why a message was turned away; an alert's title, text and buttons.
inline const std::string kNoSound = "couldn't open sound output: ";
inline const std::string kNoSoundPrefix = "gondavel_wubbix: " + kNoSound;
inline const std::string kDisplayLostPrefix
    = "gondavel_wubbix: couldn't keep the window: lost the connection to ";
inline const std::string kRefusedMessage = "couldn't accept a message: ";
inline const std::string kRefusedMessagePrefix = "gondavel_wubbix: " + kRefusedMessage;
inline const std::string kAlertPrefix = "gondavel_wubbix: alert: ";
