#include "tools/tm350/picture_files.h"

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <png.h>

#include <functional>
#include <vector>

namespace tm350::tool {

namespace {

void PutLittleEndian(std::vector<BYTE> &out, DWORD value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<BYTE>(value >> (8 * i)));
}

// A BMP holds bottom-up BGR rows, exactly what the pin delivers, so the
// sample is the pixel array unchanged (rows of 3072 bytes need no padding).
bool WriteBmp(FILE *file, const BYTE *picture) {
    std::vector<BYTE> header;
    header.push_back('B');
    header.push_back('M');
    PutLittleEndian(header, static_cast<DWORD>(54 + kPictureBytes), 4);
    PutLittleEndian(header, 0, 4);
    PutLittleEndian(header, 54, 4);
    PutLittleEndian(header, 40, 4);
    PutLittleEndian(header, kPictureWidth, 4);
    PutLittleEndian(header, kPictureHeight, 4);  // positive: bottom-up
    PutLittleEndian(header, 1, 2);
    PutLittleEndian(header, 24, 2);
    PutLittleEndian(header, 0, 4);  // BI_RGB
    PutLittleEndian(header, static_cast<DWORD>(kPictureBytes), 4);
    PutLittleEndian(header, 2835, 4);
    PutLittleEndian(header, 2835, 4);
    PutLittleEndian(header, 0, 4);
    PutLittleEndian(header, 0, 4);
    return fwrite(header.data(), 1, header.size(), file) == header.size() &&
           fwrite(picture, 1, kPictureBytes, file) == kPictureBytes;
}

bool WritePng(FILE *file, const BYTE *picture) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (png == nullptr) return false;
    png_infop info = png_create_info_struct(png);
    if (info == nullptr || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, kPictureWidth, kPictureHeight, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    // The fastest compression: a capture writes a picture per frame, and at
    // the default level one takes longer than a frame at high speed.
    png_set_compression_level(png, 1);
    png_write_info(png, info);
    png_set_bgr(png);
    // PNG rows run top-down; the sample's first row is the picture's bottom.
    const size_t stride = static_cast<size_t>(kPictureWidth) * 3;
    for (int row = kPictureHeight - 1; row >= 0; --row)
        png_write_row(png, const_cast<BYTE *>(picture) + row * stride);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

bool WriteWhole(const std::string &path, const std::function<bool(FILE *)> &write, std::string *error) {
    std::string temporary = path + ".tmp-XXXXXX";
    int descriptor = mkstemp(temporary.data());
    if (descriptor < 0) {
        *error = "cannot write \"" + path + "\": " + strerror(errno);
        return false;
    }
    // mkstemp creates the file private; give it the mode any new file gets.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(descriptor, 0666 & ~mask);
    errno = 0;
    FILE *file = fdopen(descriptor, "wb");
    bool written = file != nullptr && write(file);
    bool closed = file != nullptr ? fclose(file) == 0 : close(descriptor) == 0;
    if (!written || !closed || rename(temporary.c_str(), path.c_str()) != 0) {
        *error = "cannot write \"" + path + "\": " + strerror(errno != 0 ? errno : EIO);
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace

bool EndsWith(const std::string &text, const char *suffix) {
    size_t length = strlen(suffix);
    return text.size() >= length && strcasecmp(text.c_str() + text.size() - length, suffix) == 0;
}

bool IsPictureName(const std::string &path) { return EndsWith(path, ".bmp") || EndsWith(path, ".png"); }

bool WritePictureFile(const std::string &path, const BYTE *picture, std::string *error) {
    const bool png = EndsWith(path, ".png");
    return WriteWhole(path, [&](FILE *file) { return png ? WritePng(file, picture) : WriteBmp(file, picture); },
                      error);
}

std::string FrameFileName(const std::string &pattern, unsigned long frame) {
    char number[16];
    snprintf(number, sizeof(number), "%06lu", frame);
    std::string name;
    for (char c : pattern) {
        if (c == '#') name += number;
        else name += c;
    }
    return name;
}

bool PatternFolderIsWritable(const std::string &pattern, std::string *error) {
    const size_t slash = pattern.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : pattern.substr(0, slash);
    if (access(folder.c_str(), W_OK | X_OK) != 0) {
        *error = "cannot write files in \"" + folder + "\": " + strerror(errno);
        return false;
    }
    return true;
}

bool WriteRawFile(const std::string &path, const BYTE *raw, size_t length, std::string *error) {
    return WriteWhole(path, [&](FILE *file) { return fwrite(raw, 1, length, file) == length; }, error);
}

}  // namespace tm350::tool
