// The launcher's texts, English and Japanese side by side. The Japanese
// texts are in the ANSI code page 932, as the message boxes take them.
#pragma once

#include <stdint.h>

#define PREP_CAPTION "ORLO Pallavox/Strivane Updater"

enum PrepMessage {
    PREP_MSG_OLD_WINDOWS,          // M1
    PREP_MSG_WOW64,                // M2 (English only)
    PREP_MSG_NOT_ADMIN,            // M3
    PREP_MSG_FILES_MISSING,        // M4
    PREP_MSG_INSTALL_PENDING,      // M5
    PREP_MSG_PLUG_IN,              // M6
    PREP_MSG_WILL_INSTALL,         // M7
    PREP_MSG_INSTALL_FAILED,       // M8
    PREP_MSG_UPDATER_NOT_FOUND,    // M9, format with the updater's path
    PREP_MSG_UPDATER_ENDED,        // M10
    PREP_MSG_UNINSTALLED,          // M11
    PREP_MSG_NOT_UNINSTALLED,      // the clean-up left traces behind
    PREP_MSG_ERR_FILE_NOT_FOUND,   // installation error 2
    PREP_MSG_ERR_NO_DEVICE,        // installation error 0xE000020B
    PREP_MSG_ERR_IN_WOW64,         // installation error 0xE0000235
    PREP_MSG_COUNT
};

// The text of a message in the display language (17 Japanese, else English).
const char* PrepMessageText(PrepMessage id, uint16_t language);
