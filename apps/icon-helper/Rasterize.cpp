#include "apps/icon-helper/Rasterize.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <librsvg/rsvg.h>

#include <algorithm>
#include <memory>

#include "platform/imaging/Bitmap.h"

namespace Apps::IconHelper {

std::optional<Raster> rasterizeSVG(std::span<const std::uint8_t> bytes, int side) {
    if (side < 1) {
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
    std::optional<Raster> result;
    if (drawn && cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS) {
        Raster raster{side, side, std::vector<std::uint8_t>(static_cast<std::size_t>(side) * side * 4)};
        const unsigned char* data = cairo_image_surface_get_data(surface);
        const int stride = cairo_image_surface_get_stride(surface);
        for (int y = 0; y < side; ++y) {
            const auto* row =
                reinterpret_cast<const std::uint32_t*>(data + static_cast<std::ptrdiff_t>(y) * stride);
            std::uint8_t* out = &raster.rgba[static_cast<std::size_t>(y) * side * 4];
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
        result = std::move(raster);
    }
    cairo_surface_destroy(surface);
    g_object_unref(handle);
    return result;
}

std::vector<std::string> xpmStrings(std::span<const std::uint8_t> bytes) {
    std::vector<std::string> strings;
    std::size_t i = 0;
    const std::size_t n = bytes.size();
    while (i < n) {
        const char c = static_cast<char>(bytes[i]);
        if (c == '/' && i + 1 < n && bytes[i + 1] == '*') {
            std::size_t end = i + 2;
            while (end + 1 < n && !(bytes[end] == '*' && bytes[end + 1] == '/')) {
                ++end;
            }
            i = end + 2;
            continue;
        }
        if (c == '/' && i + 1 < n && bytes[i + 1] == '/') {
            while (i < n && bytes[i] != '\n') {
                ++i;
            }
            continue;
        }
        if (c != '"') {
            ++i;
            continue;
        }
        std::string literal;
        for (++i; i < n && bytes[i] != '"'; ++i) {
            if (bytes[i] == '\\' && i + 1 < n) {
                ++i;
                const char escaped = static_cast<char>(bytes[i]);
                literal += escaped == 'n' ? '\n' : escaped == 't' ? '\t' : escaped;
            } else if (bytes[i] != '\0') {
                literal += static_cast<char>(bytes[i]);
            }
        }
        ++i;  // the closing quote
        strings.push_back(std::move(literal));
    }
    return strings;
}

std::optional<Raster> rasterizeXPM(std::span<const std::uint8_t> bytes, int side) {
    if (side < 1) {
        return std::nullopt;
    }
    const std::vector<std::string> strings = xpmStrings(bytes);
    if (strings.empty()) {
        return std::nullopt;
    }
    // The reader stops at the null entry, however many rows the header claims.
    std::vector<const char*> lines;
    lines.reserve(strings.size() + 1);
    for (const std::string& line : strings) {
        lines.push_back(line.c_str());
    }
    lines.push_back(nullptr);
    GdkPixbuf* pixbuf = gdk_pixbuf_new_from_xpm_data(lines.data());
    if (pixbuf == nullptr) {
        return std::nullopt;
    }
    std::unique_ptr<GdkPixbuf, void (*)(gpointer)> owned(pixbuf, g_object_unref);
    const int width = gdk_pixbuf_get_width(pixbuf);
    const int height = gdk_pixbuf_get_height(pixbuf);
    const int channels = gdk_pixbuf_get_n_channels(pixbuf);
    const int stride = gdk_pixbuf_get_rowstride(pixbuf);
    if (gdk_pixbuf_get_bits_per_sample(pixbuf) != 8 || gdk_pixbuf_get_colorspace(pixbuf) != GDK_COLORSPACE_RGB ||
        width < 1 || height < 1 || width > platform::imaging::Bitmap::maxSide ||
        height > platform::imaging::Bitmap::maxSide || (channels != 3 && channels != 4)) {
        return std::nullopt;
    }
    auto full = platform::imaging::Bitmap::create(width, height, platform::imaging::PixelFormat::rgba, UINT64_MAX);
    if (!full) {
        return std::nullopt;
    }
    const guchar* data = gdk_pixbuf_read_pixels(pixbuf);
    std::uint8_t* pixels = full->mutablePixels();
    for (int y = 0; y < height; ++y) {
        const guchar* row = data + static_cast<std::ptrdiff_t>(y) * stride;
        std::uint8_t* out = pixels + full->stride() * static_cast<std::size_t>(y);
        for (int x = 0; x < width; ++x) {
            out[x * 4 + 0] = row[x * channels];
            out[x * 4 + 1] = row[x * channels + 1];
            out[x * 4 + 2] = row[x * channels + 2];
            out[x * 4 + 3] = channels == 4 ? row[x * channels + 3] : 255;
        }
    }
    owned.reset();
    platform::imaging::Bitmap result = std::move(*full);
    if (std::max(width, height) > side) {
        const platform::imaging::Size fitted = platform::imaging::fitLongestSide(width, height, side);
        auto scaled = platform::imaging::scale(result.view(), fitted.width, fitted.height);
        if (!scaled) {
            return std::nullopt;
        }
        result = std::move(*scaled);
    }
    Raster raster{result.width(), result.height(), {}};
    raster.rgba.assign(result.pixels(), result.pixels() + result.stride() * static_cast<std::size_t>(result.height()));
    return raster;
}

}  // namespace Apps::IconHelper
