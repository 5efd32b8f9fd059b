#pragma once
// A message box without owner that waits until the user closes it: a GTK
// dialog on the desktop. The text also goes to standard error, so that a
// start without a desktop still says what happened.

#include <string>

namespace krel {

enum class MessageIcon { Information, Error };

void showMessageBox(const std::string& text, MessageIcon icon);

} // namespace krel
