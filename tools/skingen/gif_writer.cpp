#include "tools/skingen/gif_writer.h"

#include <gif_lib.h>

#include <algorithm>
#include <map>
#include <memory>

namespace {

struct TColorCount {
  std::uint32_t Rgb;
  std::uint64_t Count;
};

int Channel(std::uint32_t rgb, int c) { return static_cast<int>((rgb >> (16 - 8 * c)) & 0xFF); }

// Median cut: split the box with the widest channel range at the weighted
// median until there are enough boxes; each box's weighted mean is a colour.
std::vector<std::uint32_t> MedianCut(std::vector<TColorCount> colors, int boxes) {
  struct TBox {
    std::size_t Begin, End;
  };
  std::vector<TBox> list = {{0, colors.size()}};
  auto range = [&](const TBox& b, int& channel) {
    int best = -1;
    for (int c = 0; c < 3; ++c) {
      int lo = 255, hi = 0;
      for (std::size_t i = b.Begin; i < b.End; ++i) {
        lo = std::min(lo, Channel(colors[i].Rgb, c));
        hi = std::max(hi, Channel(colors[i].Rgb, c));
      }
      if (hi - lo > best) {
        best = hi - lo;
        channel = c;
      }
    }
    return best;
  };
  while (static_cast<int>(list.size()) < boxes) {
    int pick = -1, pickChannel = 0, pickRange = 0;
    for (std::size_t i = 0; i < list.size(); ++i) {
      if (list[i].End - list[i].Begin < 2) continue;
      int channel = 0;
      const int r = range(list[i], channel);
      if (r > pickRange) {
        pickRange = r;
        pick = static_cast<int>(i);
        pickChannel = channel;
      }
    }
    if (pick < 0) break;
    TBox box = list[static_cast<std::size_t>(pick)];
    std::sort(colors.begin() + static_cast<std::ptrdiff_t>(box.Begin),
              colors.begin() + static_cast<std::ptrdiff_t>(box.End), [&](const TColorCount& a, const TColorCount& b) {
                const int ca = Channel(a.Rgb, pickChannel), cb = Channel(b.Rgb, pickChannel);
                return ca != cb ? ca < cb : a.Rgb < b.Rgb;
              });
    std::uint64_t total = 0;
    for (std::size_t i = box.Begin; i < box.End; ++i) total += colors[i].Count;
    std::uint64_t run = 0;
    std::size_t split = box.Begin + 1;
    for (std::size_t i = box.Begin; i < box.End - 1; ++i) {
      run += colors[i].Count;
      split = i + 1;
      if (run * 2 >= total) break;
    }
    list[static_cast<std::size_t>(pick)] = {box.Begin, split};
    list.push_back({split, box.End});
  }
  std::vector<std::uint32_t> palette;
  for (const TBox& b : list) {
    std::uint64_t sum[3] = {0, 0, 0}, n = 0;
    for (std::size_t i = b.Begin; i < b.End; ++i) {
      for (int c = 0; c < 3; ++c) sum[c] += static_cast<std::uint64_t>(Channel(colors[i].Rgb, c)) * colors[i].Count;
      n += colors[i].Count;
    }
    if (n == 0) continue;
    palette.push_back(static_cast<std::uint32_t>(((sum[0] + n / 2) / n) << 16 | ((sum[1] + n / 2) / n) << 8 |
                                                 ((sum[2] + n / 2) / n)));
  }
  return palette;
}

int Nearest(const std::vector<std::uint32_t>& palette, std::uint32_t rgb) {
  int best = 0;
  long bestD = -1;
  for (std::size_t i = 0; i < palette.size(); ++i) {
    long d = 0;
    for (int c = 0; c < 3; ++c) {
      const long e = Channel(palette[i], c) - Channel(rgb, c);
      d += e * e;
    }
    if (bestD < 0 || d < bestD) {
      bestD = d;
      best = static_cast<int>(i);
    }
  }
  return best;
}

int WriteToVector(GifFileType* gif, const GifByteType* data, int length) {
  auto* out = static_cast<std::vector<std::uint8_t>*>(gif->UserData);
  out->insert(out->end(), data, data + length);
  return length;
}

}  // namespace

TIndexedImage QuantizeImage(const std::uint32_t* pixels, std::int32_t width, std::int32_t height,
                            std::int32_t strideBytes, std::uint32_t matte, int maxColors) {
  TIndexedImage image;
  image.Width = width;
  image.Height = height;
  std::vector<std::int64_t> rgb(static_cast<std::size_t>(width) * height);  // -1: transparent
  std::map<std::uint32_t, std::uint64_t> histogram;
  bool anyTransparent = false;
  for (std::int32_t y = 0; y < height; ++y) {
    const auto* row = reinterpret_cast<const std::uint32_t*>(reinterpret_cast<const std::uint8_t*>(pixels) +
                                                             static_cast<std::ptrdiff_t>(y) * strideBytes);
    for (std::int32_t x = 0; x < width; ++x) {
      const std::uint32_t p = row[x];
      const std::uint32_t a = p >> 24;
      std::int64_t& out = rgb[static_cast<std::size_t>(y) * width + x];
      if (a < 128) {
        out = -1;
        anyTransparent = true;
        continue;
      }
      std::uint32_t c = 0;
      for (int ch = 0; ch < 3; ++ch) {
        const std::uint32_t shift = 16 - 8 * ch;
        const std::uint32_t v = ((p >> shift) & 0xFF) + (((matte >> shift) & 0xFF) * (255 - a) + 127) / 255;
        c |= std::min<std::uint32_t>(v, 255) << shift;
      }
      out = c;
      ++histogram[c];
    }
  }
  const int opaqueSlots = std::clamp(maxColors - (anyTransparent ? 1 : 0), 1, 256);
  std::vector<std::uint32_t> palette;
  if (static_cast<int>(histogram.size()) <= opaqueSlots) {
    for (const auto& [c, n] : histogram) palette.push_back(c);
  } else {
    std::vector<TColorCount> colors;
    for (const auto& [c, n] : histogram) colors.push_back({c, n});
    palette = MedianCut(std::move(colors), opaqueSlots);
  }
  std::map<std::uint32_t, int> lookup;
  for (std::uint32_t c : palette)
    image.Palette.push_back(
        {static_cast<std::uint8_t>(c >> 16), static_cast<std::uint8_t>(c >> 8), static_cast<std::uint8_t>(c)});
  if (anyTransparent) {
    image.TransparentIndex = static_cast<int>(image.Palette.size());
    image.Palette.push_back({255, 0, 255});
  }
  if (image.Palette.empty()) image.Palette.push_back({0, 0, 0});
  image.Indexes.resize(rgb.size());
  for (std::size_t i = 0; i < rgb.size(); ++i) {
    if (rgb[i] < 0) {
      image.Indexes[i] = static_cast<std::uint8_t>(image.TransparentIndex);
      continue;
    }
    const auto c = static_cast<std::uint32_t>(rgb[i]);
    auto it = lookup.find(c);
    if (it == lookup.end()) it = lookup.emplace(c, Nearest(palette, c)).first;
    image.Indexes[i] = static_cast<std::uint8_t>(it->second);
  }
  return image;
}

std::vector<std::uint8_t> EncodeGif(const TIndexedImage& image) {
  std::vector<std::uint8_t> out;
  if (image.Width <= 0 || image.Height <= 0 || image.Width > 65535 || image.Height > 65535 || image.Palette.empty() ||
      image.Palette.size() > 256 || image.Indexes.size() != static_cast<std::size_t>(image.Width) * image.Height) {
    return out;
  }
  int mapSize = 2;
  while (mapSize < static_cast<int>(image.Palette.size())) mapSize *= 2;
  std::vector<GifColorType> colors(static_cast<std::size_t>(mapSize), GifColorType{0, 0, 0});
  for (std::size_t i = 0; i < image.Palette.size(); ++i) {
    colors[i] = GifColorType{image.Palette[i][0], image.Palette[i][1], image.Palette[i][2]};
  }
  int error = 0;
  GifFileType* gif = EGifOpen(&out, WriteToVector, &error);
  if (gif == nullptr) return {};
  ColorMapObject* map = GifMakeMapObject(mapSize, colors.data());
  bool ok = map != nullptr;
  EGifSetGifVersion(gif, true);
  ok = ok && EGifPutScreenDesc(gif, image.Width, image.Height, 8, 0, map) == GIF_OK;
  if (ok && image.TransparentIndex >= 0) {
    GraphicsControlBlock gcb{};
    gcb.DisposalMode = DISPOSAL_UNSPECIFIED;
    gcb.UserInputFlag = false;
    gcb.DelayTime = 0;
    gcb.TransparentColor = image.TransparentIndex;
    GifByteType ext[4];
    const std::size_t len = EGifGCBToExtension(&gcb, ext);
    ok = EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, static_cast<int>(len), ext) == GIF_OK;
  }
  ok = ok && EGifPutImageDesc(gif, 0, 0, image.Width, image.Height, false, nullptr) == GIF_OK;
  std::vector<GifPixelType> line(static_cast<std::size_t>(image.Width));
  for (std::int32_t y = 0; ok && y < image.Height; ++y) {
    std::copy_n(image.Indexes.begin() + static_cast<std::ptrdiff_t>(y) * image.Width, image.Width, line.begin());
    ok = EGifPutLine(gif, line.data(), image.Width) == GIF_OK;
  }
  if (EGifCloseFile(gif, &error) != GIF_OK) ok = false;
  if (map != nullptr) GifFreeMapObject(map);
  if (!ok) out.clear();
  return out;
}
