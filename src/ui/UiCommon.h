#pragma once
// Small helpers shared by the windows of the program: text conversion at the Qt boundary,
// the program's font, its icon, message boxes, and the wait cursor. Main thread only.

#include <QFont>
#include <QIcon>
#include <QMessageBox>
#include <QString>
#include <string>

#include "platform/VersionInfo.h"

class QWidget;

// The program's texts are UTF-8 std::string; QString appears only in the user interface.
inline QString ToQ(const std::string& text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}
inline std::string FromQ(const QString& text) { return text.toUtf8().toStdString(); }

// The program's name as its windows and the tray tip show it.
inline constexpr const char* ProgramTitle = "Zephlin v2";

// Verdana at 8 points when it is installed, else the desktop's own font.
QFont ProgramFont();
// The font of the About box's product name: Ravie when installed, else a bold default.
QFont ProductNameFont(int pixelHeight);

// The application icon, drawn in code so that it needs no image plug-in; it follows the
// design of zephlin.svg, the file the desktop uses.
QIcon ProgramIcon();

// A message box with one OK button (or the buttons given). Texts from the program use
// CR LF line ends; the box shows them as plain line breaks. While nobody can answer (below)
// no box opens: the text goes to standard error and the default button is the answer.
QMessageBox::StandardButton ShowMessage(QWidget* parent, QMessageBox::Icon icon, const std::string& text,
                                        QMessageBox::StandardButtons buttons = QMessageBox::Ok,
                                        QMessageBox::StandardButton defaultButton = QMessageBox::Ok);

// True without a display (Qt platform "offscreen" or "minimal"): no notification area, no
// desktop to open files with, and nobody to answer a dialog.
bool IsHeadless();

// Whether a desktop session bus, where keyrings and the notification service live, can be
// reached: its address is given, or the per-user bus socket exists.
bool SessionBusReachable();

// Start-up switches this on when the program runs without a display: a modal box would then
// wait for ever, as nobody could close it.
void SetNobodyToAnswer(bool nobody);
bool NobodyToAnswer();

// The desktop's "open": a file with the program associated with it, a link with the browser.
// Start-up installs it with SetOpenHandler (platform/Shell.h). Without a display (Qt platform
// "offscreen" or "minimal") it does nothing; what cannot be opened is not reported.
void DesktopOpen(const std::string& pathOrUrl);

// The general error report that ends a failed command: an error box with the message (on
// standard error while nobody can answer).
void ShowErrorReport(QWidget* parent, const std::string& message);

// The maker, as the About box and the summary log name it.
inline constexpr const char* MakerName = ProgramMaker;
inline constexpr const char* CopyrightLine = "\xC2\xA9 2004-2026 Zephlin Workshop.\nFree to use and to share.";
inline constexpr const char* HomePageAddress = "http://www.example.org/zephlin/";
