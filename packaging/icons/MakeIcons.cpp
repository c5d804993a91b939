// Writes the program icon (res/, 32 by 32) for an icon theme: PNGs of the usual sizes and a
// scalable SVG, all from the one picture the windows show.
// Usage: qor-make-icons FOLDER NAME  (makes FOLDER/hicolor/SIZE/apps/NAME.png and .svg)
#include <QDir>
#include <QImage>
#include <cstdio>
#include <fstream>
#include <string>

#include "res/ResourceIds.h"
#include "res/Resources.h"

namespace {

QImage Picture(const qor::IconImage& icon) {
  QImage image(icon.width, icon.height, QImage::Format_ARGB32);
  for (int y = 0; y < icon.height; ++y) {
    for (int x = 0; x < icon.width; ++x) {
      image.setPixel(x, y, icon.pixels[static_cast<size_t>(y * icon.width + x)]);
    }
  }
  return image;
}

// One rectangle per run of equal pixels in a row: the pixel art, sharp at any size.
std::string Svg(const qor::IconImage& icon) {
  std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " +
                    std::to_string(icon.width) + " " + std::to_string(icon.height) +
                    "\" width=\"256\" height=\"256\" shape-rendering=\"crispEdges\">\n";
  for (int y = 0; y < icon.height; ++y) {
    for (int x = 0; x < icon.width;) {
      const uint32_t colour = icon.pixels[static_cast<size_t>(y * icon.width + x)];
      int end = x + 1;
      while (end < icon.width && icon.pixels[static_cast<size_t>(y * icon.width + end)] == colour) {
        ++end;
      }
      if ((colour >> 24) != 0) {
        char rect[160];
        std::snprintf(
            rect, sizeof rect,
            "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"1\" fill=\"#%06X\"%s/>\n", x, y, end - x,
            colour & 0xFFFFFFu,
            (colour >> 24) == 0xFF
                ? ""
                : (" fill-opacity=\"" + std::to_string((colour >> 24) / 255.0) + "\"").c_str());
        svg += rect;
      }
      x = end;
    }
  }
  return svg + "</svg>\n";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: qor-make-icons FOLDER NAME\n");
    return 2;
  }
  const QString folder = QString::fromLocal8Bit(argv[1]) + "/hicolor/";
  const QString name = QString::fromLocal8Bit(argv[2]);
  const qor::IconImage& icon = qor::LoadIconResource(qor::kIdrMainFrame);
  const QImage picture = Picture(icon);
  for (const int size : {32, 48, 64, 128, 256}) {
    const QString apps = folder + QString("%1x%1/apps/").arg(size);
    // Whole multiples keep the pixels sharp; 48 is blended.
    const auto mode = size % icon.width == 0 ? Qt::FastTransformation : Qt::SmoothTransformation;
    if (!QDir().mkpath(apps) ||
        !picture.scaled(size, size, Qt::IgnoreAspectRatio, mode).save(apps + name + ".png")) {
      std::fprintf(stderr, "qor-make-icons: cannot write %s\n", qPrintable(apps + name + ".png"));
      return 1;
    }
  }
  const QString scalable = folder + "scalable/apps/";
  const std::string svgPath = (scalable + name + ".svg").toStdString();
  std::ofstream svg;
  if (QDir().mkpath(scalable)) svg.open(svgPath);
  if (!svg.is_open()) {
    std::fprintf(stderr, "qor-make-icons: cannot write %s\n", svgPath.c_str());
    return 1;
  }
  svg << Svg(icon);
  return svg.good() ? 0 : 1;
}
