// qor-rcgen: writes the resource script of qor.exe from the resource data every backend reads,
// the program icon (qor.ico beside it), the string table, the version and the manifest, for
// windres to compile. It runs on the build machine.
// Usage: qor-rcgen OUTPUT_FOLDER VERSION MANIFEST
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "res/ResourceIds.h"
#include "res/Resources.h"

namespace {

void Put16(std::string& out, uint32_t value) {
  out.push_back(static_cast<char>(value & 0xFF));
  out.push_back(static_cast<char>((value >> 8) & 0xFF));
}

void Put32(std::string& out, uint32_t value) {
  Put16(out, value & 0xFFFF);
  Put16(out, value >> 16);
}

// An icon file of one 32-bit image: the colours bottom row first with their alpha, then the
// mask (set where a pixel is transparent), rows padded to 32 bits.
std::string IconFile(const qor::IconImage& icon) {
  const auto width = static_cast<uint32_t>(icon.width);
  const auto height = static_cast<uint32_t>(icon.height);
  const uint32_t maskStride = (width + 31) / 32 * 4;
  std::string image;
  Put32(image, 40);
  Put32(image, width);
  Put32(image, height * 2);  // colours and mask
  Put16(image, 1);
  Put16(image, 32);
  for (int i = 0; i < 6; ++i) Put32(image, 0);
  for (uint32_t row = height; row-- > 0;) {
    for (uint32_t x = 0; x < width; ++x) Put32(image, icon.pixels[row * width + x]);
  }
  for (uint32_t row = height; row-- > 0;) {
    std::vector<uint8_t> bits(maskStride, 0);
    for (uint32_t x = 0; x < width; ++x) {
      if ((icon.pixels[row * width + x] >> 24) == 0)
        bits[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
    }
    image.append(bits.begin(), bits.end());
  }
  std::string file;
  Put16(file, 0);
  Put16(file, 1);  // an icon
  Put16(file, 1);  // one image
  file.push_back(static_cast<char>(width < 256 ? width : 0));
  file.push_back(static_cast<char>(height < 256 ? height : 0));
  file.push_back(0);  // no palette
  file.push_back(0);
  Put16(file, 1);   // planes
  Put16(file, 32);  // bits per pixel
  Put32(file, static_cast<uint32_t>(image.size()));
  Put32(file, 6 + 16);
  return file + image;
}

// A string of the resource script: quotes doubled, anything but printable ASCII in octal.
std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"') {
      out += "\"\"";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (byte < 0x20 || byte > 0x7E) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\%03o", byte);
      out += escaped;
    } else {
      out.push_back(c);
    }
  }
  return out + "\"";
}

// "1.2.3" as the four numbers of a version resource.
std::string VersionNumbers(const std::string& version) {
  std::vector<std::string> parts;
  std::stringstream split(version);
  for (std::string part; std::getline(split, part, '.');) parts.push_back(part);
  parts.resize(4, "0");
  return parts[0] + "," + parts[1] + "," + parts[2] + "," + parts[3];
}

// The About box's copyright line, so that the file's properties say the same.
std::string CopyrightLine() {
  if (const qor::DialogTemplate* about = qor::FindDialogTemplate(qor::kIddAboutBox)) {
    for (const qor::ControlTemplate& control : about->controls) {
      if (control.text.rfind("Copyright", 0) == 0) return control.text;
    }
  }
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: qor-rcgen OUTPUT_FOLDER VERSION MANIFEST\n");
    return 2;
  }
  const std::string folder = argv[1];
  const std::string version = argv[2];
  const std::string manifest = argv[3];
  const std::string iconPath = folder + "/qor.ico";

  std::ofstream icon(iconPath, std::ios::binary);
  icon << IconFile(qor::LoadIconResource(qor::kIdrMainFrame));
  if (!icon.flush()) {
    std::fprintf(stderr, "qor-rcgen: cannot write %s\n", iconPath.c_str());
    return 1;
  }

  std::ostringstream rc;
  rc << "// qor.exe's resources, written by qor-rcgen from res/Resources.cpp: do not edit.\n"
     << "LANGUAGE 0x09, 0x01\n\n"
     << qor::kIdrMainFrame << " ICON " << Quoted(iconPath) << "\n\n"
     << "STRINGTABLE\nBEGIN\n";
  for (const auto& [id, text] : qor::StringResources()) {
    rc << "  " << id << ", " << Quoted(text) << "\n";
  }
  const std::string numbers = VersionNumbers(version);
  rc << "END\n\n"
     << "1 VERSIONINFO\n"
     << "FILEVERSION " << numbers << "\n"
     << "PRODUCTVERSION " << numbers << "\n"
     << "FILEFLAGSMASK 0x3F\nFILEFLAGS 0x0\nFILEOS 0x40004\nFILETYPE 0x1\nFILESUBTYPE 0x0\n"
     << "BEGIN\n  BLOCK \"StringFileInfo\"\n  BEGIN\n    BLOCK \"040904B0\"\n    BEGIN\n"
     << "      VALUE \"CompanyName\", \"QOR developers\"\n"
     << "      VALUE \"FileDescription\", \"QOR\"\n"
     << "      VALUE \"FileVersion\", " << Quoted(version) << "\n"
     << "      VALUE \"InternalName\", \"qor\"\n"
     << "      VALUE \"LegalCopyright\", " << Quoted(CopyrightLine()) << "\n"
     << "      VALUE \"OriginalFilename\", \"qor.exe\"\n"
     << "      VALUE \"ProductName\", \"QOR\"\n"
     << "      VALUE \"ProductVersion\", " << Quoted(version) << "\n"
     << "    END\n  END\n  BLOCK \"VarFileInfo\"\n  BEGIN\n"
     << "    VALUE \"Translation\", 0x409, 1200\n  END\nEND\n\n"
     << "// The application manifest (RT_MANIFEST, for the process).\n"
     << "1 24 " << Quoted(manifest) << "\n";

  const std::string rcPath = folder + "/qor.rc";
  std::ofstream out(rcPath, std::ios::binary);
  out << rc.str();
  if (!out.flush()) {
    std::fprintf(stderr, "qor-rcgen: cannot write %s\n", rcPath.c_str());
    return 1;
  }
  return 0;
}
