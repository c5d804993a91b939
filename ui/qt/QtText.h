#pragma once

#include <QString>
#include <string>

namespace qor::qt {

// The program's 8-bit texts are in the locale's code page; the window system's are Unicode.
inline QString ToQt(const std::string& text) {
  return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

inline std::string FromQt(const QString& text) {
  const QByteArray bytes = text.toLocal8Bit();
  return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

}  // namespace qor::qt
