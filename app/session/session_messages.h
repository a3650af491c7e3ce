// Texts the window shows about sessions, made without a widget so that they are tested on their own.
#pragma once
#include <QString>

#include <cstddef>

namespace qv {

// The question asked before a capture file replaces the listed rows (and ends a live capture);
// empty when nothing would be lost.
QString OpenFileQuestion(std::size_t listedRows, bool capturing);

// A message for a message box, with each line that is a command ("sudo …") kept whole on a line of
// its own: a box that wraps its text would otherwise break a long path after any "/". Rich text; the
// rest of the text wraps as usual and is shown as it stands.
QString MessageWithCommands(const QString& text);

}  // namespace qv
