#include "apps/IconImages.h"

#include "platform/imaging/Codecs.h"

#include <fcntl.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <librsvg/rsvg.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string_view>

namespace Apps {

namespace {

bool startsWith(std::span<const std::uint8_t> bytes, std::string_view prefix) {
    return bytes.size() >= prefix.size() && std::memcmp(bytes.data(), prefix.data(), prefix.size()) == 0;
}

bool looksLikeSVG(std::span<const std::uint8_t> bytes) {
    const std::string_view head(reinterpret_cast<const char*>(bytes.data()),
                                std::min<std::size_t>(bytes.size(), 4096));
    return head.find("<svg") != std::string_view::npos;
}

std::optional<IconBitmap> decodePNG(std::span<const std::uint8_t> bytes) {
    platform::imaging::DecodeOptions options;
    options.maxPixels = static_cast<std::uint64_t>(maxIconSide) * maxIconSide;
    options.format = platform::imaging::PixelFormat::rgba;
    platform::imaging::ImageResult<platform::imaging::Bitmap> decoded =
        platform::imaging::decodePNG(bytes, options);
    if (!decoded || decoded->width() > maxIconSide || decoded->height() > maxIconSide) {
        return std::nullopt;
    }
    IconBitmap bitmap;
    bitmap.width = decoded->width();
    bitmap.height = decoded->height();
    bitmap.pixels.resize(static_cast<std::size_t>(bitmap.width) * bitmap.height * 4);
    for (int y = 0; y < bitmap.height; ++y) {
        const std::uint8_t* row = decoded->pixels() + static_cast<std::size_t>(y) * decoded->stride();
        std::copy(row, row + static_cast<std::size_t>(bitmap.width) * 4,
                  bitmap.pixels.begin() + static_cast<std::ptrdiff_t>(y) * bitmap.width * 4);
    }
    return bitmap;
}

std::optional<IconBitmap> decodeSVG(std::span<const std::uint8_t> bytes, int side) {
    if (side < 1 || side > maxIconSide) {
        return std::nullopt;
    }
    GError* error = nullptr;
    // No base file is given: librsvg then resolves no reference to another file (images, includes,
    // style sheets), only data: URLs inside the document.
    RsvgHandle* handle = rsvg_handle_new_from_data(bytes.data(), bytes.size(), &error);
    if (handle == nullptr) {
        g_clear_error(&error);
        return std::nullopt;
    }
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, side, side);
    cairo_t* cr = cairo_create(surface);
    const RsvgRectangle viewport{0, 0, static_cast<double>(side), static_cast<double>(side)};
    const bool drawn = rsvg_handle_render_document(handle, cr, &viewport, &error);
    g_clear_error(&error);
    cairo_destroy(cr);
    cairo_surface_flush(surface);
    std::optional<IconBitmap> result;
    if (drawn && cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS) {
        IconBitmap bitmap;
        bitmap.width = side;
        bitmap.height = side;
        bitmap.pixels.resize(static_cast<std::size_t>(side) * side * 4);
        const unsigned char* data = cairo_image_surface_get_data(surface);
        const int stride = cairo_image_surface_get_stride(surface);
        for (int y = 0; y < side; ++y) {
            const auto* row =
                reinterpret_cast<const std::uint32_t*>(data + static_cast<std::ptrdiff_t>(y) * stride);
            std::uint8_t* out = &bitmap.pixels[static_cast<std::size_t>(y) * side * 4];
            for (int x = 0; x < side; ++x) {
                const std::uint32_t argb = row[x];  // premultiplied, native endian
                const unsigned alpha = argb >> 24;
                const auto straight = [alpha](unsigned value) {
                    return alpha == 0
                               ? std::uint8_t{0}
                               : static_cast<std::uint8_t>(std::min(255u, (value * 255 + alpha / 2) / alpha));
                };
                out[x * 4 + 0] = straight((argb >> 16) & 0xFF);
                out[x * 4 + 1] = straight((argb >> 8) & 0xFF);
                out[x * 4 + 2] = straight(argb & 0xFF);
                out[x * 4 + 3] = static_cast<std::uint8_t>(alpha);
            }
        }
        result = std::move(bitmap);
    }
    cairo_surface_destroy(surface);
    g_object_unref(handle);
    return result;
}

std::optional<IconBitmap> decodeXPM(std::span<const std::uint8_t> bytes) {
    GError* error = nullptr;
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("xpm", &error);
    if (loader == nullptr) {
        g_clear_error(&error);
        return std::nullopt;
    }
    const bool written = gdk_pixbuf_loader_write(loader, bytes.data(), bytes.size(), &error);
    g_clear_error(&error);
    const bool closed = gdk_pixbuf_loader_close(loader, &error);
    g_clear_error(&error);
    std::optional<IconBitmap> result;
    GdkPixbuf* pixbuf = written && closed ? gdk_pixbuf_loader_get_pixbuf(loader) : nullptr;
    if (pixbuf != nullptr && gdk_pixbuf_get_bits_per_sample(pixbuf) == 8 &&
        gdk_pixbuf_get_colorspace(pixbuf) == GDK_COLORSPACE_RGB) {
        const int width = gdk_pixbuf_get_width(pixbuf);
        const int height = gdk_pixbuf_get_height(pixbuf);
        const int channels = gdk_pixbuf_get_n_channels(pixbuf);
        const int stride = gdk_pixbuf_get_rowstride(pixbuf);
        const guchar* data = gdk_pixbuf_read_pixels(pixbuf);
        if (width > 0 && height > 0 && width <= maxIconSide && height <= maxIconSide &&
            (channels == 3 || channels == 4)) {
            IconBitmap bitmap;
            bitmap.width = width;
            bitmap.height = height;
            bitmap.pixels.resize(static_cast<std::size_t>(width) * height * 4);
            for (int y = 0; y < height; ++y) {
                const guchar* row = data + static_cast<std::ptrdiff_t>(y) * stride;
                for (int x = 0; x < width; ++x) {
                    std::uint8_t* out = &bitmap.pixels[(static_cast<std::size_t>(y) * width + x) * 4];
                    out[0] = row[x * channels];
                    out[1] = row[x * channels + 1];
                    out[2] = row[x * channels + 2];
                    out[3] = channels == 4 ? row[x * channels + 3] : 255;
                }
            }
            result = std::move(bitmap);
        }
    }
    g_object_unref(loader);
    return result;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> encodePNG(const IconBitmap& image) {
    if (!image.isValid()) {
        return std::nullopt;
    }
    const platform::imaging::ImageView view{image.pixels.data(), image.width, image.height,
                                            static_cast<std::size_t>(image.width) * 4,
                                            platform::imaging::PixelFormat::rgba};
    platform::imaging::ImageResult<std::vector<std::uint8_t>> png = platform::imaging::encodePNG(view, 6);
    if (!png) {
        return std::nullopt;
    }
    return std::move(*png);
}

std::optional<IconBitmap> decodeIcon(std::span<const std::uint8_t> bytes, int svgSide) {
    if (bytes.empty() || bytes.size() > maxIconFileBytes) {
        return std::nullopt;
    }
    if (startsWith(bytes, "\x89PNG\r\n\x1a\n")) {
        return decodePNG(bytes);
    }
    if (startsWith(bytes, "/* XPM */")) {
        return decodeXPM(bytes);
    }
    if (looksLikeSVG(bytes)) {
        return decodeSVG(bytes, svgSide);
    }
    return std::nullopt;
}

std::optional<IconBitmap> loadIconFile(const std::filesystem::path& path, int svgSide) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return std::nullopt;
    }
    struct stat info {};
    std::vector<std::uint8_t> bytes;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0 &&
        static_cast<std::size_t>(info.st_size) <= maxIconFileBytes) {
        bytes.resize(static_cast<std::size_t>(info.st_size));
        std::size_t filled = 0;
        while (filled < bytes.size()) {
            const ssize_t got = ::read(fd, bytes.data() + filled, bytes.size() - filled);
            if (got <= 0) {
                break;
            }
            filled += static_cast<std::size_t>(got);
        }
        bytes.resize(filled);
    }
    ::close(fd);
    return decodeIcon(bytes, svgSide);
}

}  // namespace Apps
