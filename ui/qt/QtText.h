#pragma once

#include <QString>
#include <QStringDecoder>
#include <string>

#include "ui/UiTypes.h"

namespace qor::qt {

// The program's 8-bit texts are in the locale's code page; the window system's are Unicode.
// What does not convert becomes replacement characters, or with kStrict the whole text empty.
inline QString ToQt(const std::string& text, TextConversion conversion = TextConversion::kLenient) {
  // Stateless: a sequence cut off at the end is an error too, not a wait for more.
  QStringDecoder decoder(QStringDecoder::System, QStringDecoder::Flag::Stateless);
  QString converted =
      decoder.decode(QByteArrayView(text.data(), static_cast<qsizetype>(text.size())));
  if (conversion == TextConversion::kStrict && decoder.hasError()) converted.clear();
  return converted;
}

inline std::string FromQt(const QString& text) {
  const QByteArray bytes = text.toLocal8Bit();
  return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

}  // namespace qor::qt
