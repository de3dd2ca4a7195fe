// The launcher's message catalogue. This file is UTF-8; the build converts
// its string literals to code page 932 (-fexec-charset), so the Japanese
// texts reach MessageBoxA as the system's ANSI code page gives them.
#include "prepmessages.h"

#include <stddef.h>

#include "prepbytes.h"

namespace {

struct PrepTexts {
    const char* english;
    const char* japanese;  // NULL: the English text in every language
};

const PrepTexts PREP_TEXTS[PREP_MSG_COUNT] = {
    // PREP_MSG_OLD_WINDOWS
    {"This application can't run under Windows98/Me.",
     "このアプリケーションはWindows98/Meでは動作しません。"},
    // PREP_MSG_WOW64
    {"This application can't run under Windows XP 64-bit Edition.",
     NULL},
    // PREP_MSG_NOT_ADMIN
    {"In order to install or uninstall the driver,\r\n"
         "you must have Administrator privileges.",
     "ドライバをインストール/アンインストールするには、管理者権限が必要です。"},
    // PREP_MSG_FILES_MISSING
    {"Error: Some files are missing.",
     "エラー: ファイルがいくつか足りません。"},
    // PREP_MSG_INSTALL_PENDING
    {"Please cancel and finish the Hardware Wizard, and then click [OK] below to continue.\r\n"
         "Please ignore the warning shown in the taskbar.",
     "ハードウェアウィザードを[キャンセル]で終了させます。そして下の[OK]をクリックしてください。\r\n"
         "タスクバーに表示される警告は無視してください。"},
    // PREP_MSG_PLUG_IN
    {"Plug in a Pallavox or Strivane to update after turning it on by\r\n"
         "holding down [SETTING], [MESSAGE], [EXIT] and [ > ].\r\n"
         "After starting the Hardware Wizard, click [OK] below to continue.",
     "[SETTING], [MESSAGE], [EXIT], [ > ] を同時に押しながら\r\n"
         "Pallavox または Strivane の電源を ON にしてください。\r\n"
         "ハードウェア ウィザードが表示されたら下の [OK] をクリックします。"},
    // PREP_MSG_WILL_INSTALL
    {"The driver will be installed to execute the version up process.\r\n"
         "If a dialog box appears, warning you that the driver is not digitally signed, \r\n"
         "click [Continue Anyway]. ",
     "バージョンアップ作業に必要なドライバーをインストールします。\r\n"
         "インストールの途中、デジタル署名認証の警告ダイアログが表示される場合がありますが、\r\n"
         "[続行] をクリックして先に進めます。"},
    // PREP_MSG_INSTALL_FAILED
    {"Error occurred during driver installation.",
     "ドライバーのインストール作業中にエラーが発生いたしました。"},
    // PREP_MSG_UPDATER_NOT_FOUND
    {"Error: File not found. [%s]",
     "エラー: ファイルが見つかりません。\r\n"
         "[%s]"},
    // PREP_MSG_UPDATER_ENDED
    {"System version up process was completed. \r\n"
         "Please click [OK] to uninstall the driver.",
     "バージョンアップ作業が終了したので、ドライバーをアンインストールします。"},
    // PREP_MSG_UNINSTALLED
    {"The driver has been uninstalled successfully. \r\n"
         "Please click [OK] to finish.",
     "ドライバーを正常にアンインストールしました。\r\n"
         "システムバージョンアップを終了します。"},
    // PREP_MSG_NOT_UNINSTALLED
    {"The driver could not be uninstalled completely.\r\n"
         "Some of its registry entries or files are left on this computer.",
     "ドライバーを完全にはアンインストールできませんでした。\r\n"
         "レジストリまたはファイルの一部がこのコンピューターに残っています。"},
    // PREP_MSG_ERR_FILE_NOT_FOUND
    {"ERROR: File Not Found",
     "エラー: ドライバ ファイルが見つかりません。"},
    // PREP_MSG_ERR_NO_DEVICE
    {"ERROR: ORLO Device is not plugged in.",
     "エラー: ORLOデバイスが接続されていません。"},
    // PREP_MSG_ERR_IN_WOW64
    {"ERROR: Not compatible with WinXP-64bit",
     "エラー: WinXP-64bitには対応していません。"},
};

}  // namespace

const char* PrepMessageText(PrepMessage id, uint16_t language)
{
    if (id < 0 || id >= PREP_MSG_COUNT)
        return "";
    const PrepTexts& t = PREP_TEXTS[id];
    return language == PREP_LANG_JAPANESE && t.japanese ? t.japanese : t.english;
}
