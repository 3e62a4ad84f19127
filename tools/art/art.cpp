// Draws the program's icons and animation clips and writes them as .ico and
// .avi files: anti-aliased shapes from signed distances, one palette of
// product colours, the maker's "Quenlor" word mark from a small stroke font.
//
//   tessarin_art <output directory> [--sheets]
//
// writes every icon and clip of the resource list under the file name the
// list gives it, and fails when the list names one it has no picture for.
// --sheets adds a picture of every frame of each clip (clip_*.ppm).
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "res/resource_ids.h"

namespace {

// ---- colour and canvas -------------------------------------------------

struct Rgb {
  float r, g, b;
};
struct Rgba {
  float r = 0, g = 0, b = 0, a = 0;  // premultiplied
};
Rgb Hex(unsigned v) { return {((v >> 16) & 255) / 255.f, ((v >> 8) & 255) / 255.f, (v & 255) / 255.f}; }
Rgb Mix(Rgb a, Rgb b, float t) { return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t}; }

struct Canvas {
  int w, h;
  std::vector<Rgba> px;
  Canvas(int width, int height) : w(width), h(height), px(width * height) {}
  Rgba& at(int x, int y) { return px[y * w + x]; }
  void Blend(int x, int y, Rgb c, float alpha) {
    if (x < 0 || y < 0 || x >= w || y >= h || alpha <= 0) return;
    alpha = std::min(alpha, 1.f);
    Rgba& d = at(x, y);
    d.r = c.r * alpha + d.r * (1 - alpha);
    d.g = c.g * alpha + d.g * (1 - alpha);
    d.b = c.b * alpha + d.b * (1 - alpha);
    d.a = alpha + d.a * (1 - alpha);
  }
};

// A shape is a signed distance in the shape's own units; the painter maps
// canvas pixels into them with a scale and an offset.
struct V2 {
  float x, y;
};
V2 operator-(V2 a, V2 b) { return {a.x - b.x, a.y - b.y}; }
V2 operator+(V2 a, V2 b) { return {a.x + b.x, a.y + b.y}; }
V2 operator*(V2 a, float s) { return {a.x * s, a.y * s}; }
float Dot(V2 a, V2 b) { return a.x * b.x + a.y * b.y; }
float Len(V2 a) { return std::sqrt(Dot(a, a)); }

float SdRoundRect(V2 p, float x0, float y0, float x1, float y1, float r) {
  const V2 c{(x0 + x1) / 2, (y0 + y1) / 2};
  const V2 half{(x1 - x0) / 2 - r, (y1 - y0) / 2 - r};
  const V2 q{std::fabs(p.x - c.x) - half.x, std::fabs(p.y - c.y) - half.y};
  const V2 qm{std::max(q.x, 0.f), std::max(q.y, 0.f)};
  return Len(qm) + std::min(std::max(q.x, q.y), 0.f) - r;
}
float SdCircle(V2 p, V2 c, float r) { return Len(p - c) - r; }
float SdSegment(V2 p, V2 a, V2 b, float halfWidth) {
  const V2 pa = p - a, ba = b - a;
  const float h = std::clamp(Dot(pa, ba) / std::max(Dot(ba, ba), 1e-6f), 0.f, 1.f);
  return Len(pa - ba * h) - halfWidth;
}
// Any simple polygon: distance to the edges, sign from the winding.
float SdPolygon(V2 p, const std::vector<V2>& v) {
  float d = Dot(p - v[0], p - v[0]);
  float s = 1;
  for (std::size_t i = 0, j = v.size() - 1; i < v.size(); j = i, ++i) {
    const V2 e = v[j] - v[i], w = p - v[i];
    const V2 b = w - e * std::clamp(Dot(w, e) / Dot(e, e), 0.f, 1.f);
    d = std::min(d, Dot(b, b));
    const bool c1 = p.y >= v[i].y, c2 = p.y<v[j].y, c3 = e.x * w.y> e.y * w.x;
    if ((c1 && c2 && c3) || (!c1 && !c2 && !c3)) s = -s;
  }
  return s * std::sqrt(d);
}
// A ring between two angles (radians, 0 = right, counter-clockwise with y up
// flipped to screen coordinates).
float SdArc(V2 p, V2 c, float r, float halfWidth, float a0, float a1) {
  const V2 d = p - c;
  float ang = std::atan2(-d.y, d.x);
  auto inside = [&](float a) {
    while (a < a0) a += 6.2831853f;
    return a <= a1;
  };
  if (inside(ang)) return std::fabs(Len(d) - r) - halfWidth;
  const V2 e0{c.x + r * std::cos(a0), c.y - r * std::sin(a0)};
  const V2 e1{c.x + r * std::cos(a1), c.y - r * std::sin(a1)};
  return std::min(Len(p - e0), Len(p - e1)) - halfWidth;
}

// Paints a shape given as a distance function of canvas coordinates, with a
// colour that may vary by position (gradients).
template <class Dist, class Color>
void Paint(Canvas& cv, Dist dist, Color color, float opacity = 1.f) {
  for (int y = 0; y < cv.h; ++y)
    for (int x = 0; x < cv.w; ++x) {
      const V2 p{x + 0.5f, y + 0.5f};
      const float d = dist(p);
      const float cover = std::clamp(0.5f - d, 0.f, 1.f);
      if (cover > 0) cv.Blend(x, y, color(p), cover * opacity);
    }
}
template <class Dist>
void PaintSolid(Canvas& cv, Dist dist, Rgb c, float opacity = 1.f) {
  Paint(
      cv, dist, [c](V2) { return c; }, opacity);
}

// ---- the product's colours ---------------------------------------------

const Rgb kInk = Hex(0x1F3A5F);  // Quenlor blue
const Rgb kInkLight = Hex(0x3C6EA8);
const Rgb kFolderBack = Hex(0xD9A23A);
const Rgb kFolderFront = Hex(0xF4C454);
const Rgb kFolderLight = Hex(0xFBE08C);
const Rgb kFolderEdge = Hex(0xA8741C);
const Rgb kPaper = Hex(0xFFFFFF);
const Rgb kPaperEdge = Hex(0x8C97A6);
const Rgb kPaperLine = Hex(0xA9B6C8);
const Rgb kGold = Hex(0xE2B64A);
const Rgb kShadow = Hex(0x303840);
const Rgb kArrow = Hex(0x2E9E4F);
const Rgb kArrowDark = Hex(0x1D6F36);

struct CardLook {
  Rgb body, bodyDark, label, labelInk;
  bool compactFlash;  // square card with pin holes instead of an SD card
};
const CardLook kDosCard{Hex(0x2F6FC0), Hex(0x1C4C8C), Hex(0xEAF2FB), Hex(0x1C4C8C), false};
const CardLook kRomDosCard{Hex(0x3E4A57), Hex(0x242B33), Hex(0x5FBF8F), Hex(0xFFFFFF), true};
const CardLook kWinCeCard{Hex(0x33363B), Hex(0x17191C), Hex(0xF08A24), Hex(0xFFFFFF), false};
// The same cards in the sixteen colours of the standard palette, for the
// icons' 16-colour images.
const CardLook kDosCard16{Hex(0x0000FF), Hex(0x000080), Hex(0xFFFFFF), Hex(0x000080), false};
const CardLook kRomDosCard16{Hex(0x808080), Hex(0x000000), Hex(0x00FF00), Hex(0x000000), true};
const CardLook kWinCeCard16{Hex(0x808080), Hex(0x000000), Hex(0xFFFF00), Hex(0x000000), false};

// ---- stroke font for the word mark -------------------------------------

// Glyphs on a 0..10 grid (x to the right, y down, baseline at 10, x-height
// from 4): segments and arcs, drawn with round caps.
struct Stroke {
  bool arc;
  V2 a, b;  // segment ends, or arc centre and (radius, unused)
  float a0 = 0, a1 = 0;
};
struct Glyph {
  float advance;
  std::vector<Stroke> strokes;
};
const std::map<char, Glyph>& Font() {
  static const std::map<char, Glyph> font = {
      {'Q', {9.6f, {{true, {4.6f, 5.f}, {4.3f, 0}, 0, 6.2831853f}, {false, {5.6f, 7.4f}, {8.6f, 10.6f}}}}},
      {'u',
       {6.6f,
        {{false, {1.f, 4.f}, {1.f, 7.8f}},
         {true, {3.1f, 7.8f}, {2.1f, 0}, 3.1415926f, 6.2831853f},
         {false, {5.2f, 4.f}, {5.2f, 10.f}}}}},
      {'e', {6.6f, {{true, {3.1f, 7.f}, {2.5f, 0}, 0.55f, 6.2831853f}, {false, {0.7f, 7.f}, {5.6f, 7.f}}}}},
      {'n',
       {6.6f,
        {{false, {1.f, 4.f}, {1.f, 10.f}},
         {true, {3.1f, 6.2f}, {2.1f, 0}, 0.f, 3.1415926f},
         {false, {5.2f, 6.2f}, {5.2f, 10.f}}}}},
      {'l', {2.6f, {{false, {1.f, 0.3f}, {1.f, 10.f}}}}},
      {'o', {6.8f, {{true, {3.2f, 7.f}, {2.5f, 0}, 0, 6.2831853f}}}},
      {'r', {4.6f, {{false, {1.f, 4.f}, {1.f, 10.f}}, {true, {3.4f, 6.6f}, {2.4f, 0}, 1.2f, 3.1415926f}}}},
  };
  return font;
}

// Width of a text in grid units.
float TextWidth(const std::string& text) {
  float w = 0;
  for (char c : text) w += Font().at(c).advance;
  return w;
}

// Distance to a text placed with its grid origin at `origin`, `scale`
// pixels per grid unit, strokes `weight` grid units wide.
float SdText(V2 p, const std::string& text, V2 origin, float scale, float weight) {
  float best = 1e9f;
  float pen = 0;
  for (char c : text) {
    const Glyph& g = Font().at(c);
    const V2 local = (p - origin) * (1.f / scale) - V2{pen, 0};
    for (const Stroke& s : g.strokes) {
      const float d = s.arc ? SdArc(local, s.a, s.b.x, weight / 2, s.a0, s.a1) : SdSegment(local, s.a, s.b, weight / 2);
      best = std::min(best, d * scale);
    }
    pen += g.advance;
  }
  return best;
}

// ---- pictures ----------------------------------------------------------

// The folder, its back panel's top-left at (x, y), w × h pixels.
void DrawFolder(Canvas& cv, float x, float y, float w, float h, float open) {
  const float tabW = w * 0.42f, tabH = h * 0.16f;
  // soft shadow
  PaintSolid(
      cv, [&](V2 p) { return SdRoundRect(p, x + 1.2f, y + tabH + 1.5f, x + w + 1.2f, y + h + 1.4f, 2.f) + 0.6f; },
      kShadow, 0.22f);
  auto back = [&](V2 p) {
    return std::min(SdRoundRect(p, x, y + tabH, x + w, y + h, 1.6f),
                    SdRoundRect(p, x, y, x + tabW, y + tabH + 2, 1.4f));
  };
  PaintSolid(cv, back, kFolderEdge);
  Paint(
      cv, [&](V2 p) { return back(p) + 0.8f; },
      [&](V2 p) { return Mix(kFolderBack, kFolderFront, std::clamp((p.y - y) / h, 0.f, 1.f) * 0.5f); });
  // a sheet peeking out of the folder
  PaintSolid(
      cv, [&](V2 p) { return SdRoundRect(p, x + w * 0.12f, y + tabH - h * 0.06f, x + w * 0.86f, y + h * 0.8f, 0.8f); },
      kPaperEdge);
  PaintSolid(
      cv,
      [&](V2 p) {
        return SdRoundRect(p, x + w * 0.12f, y + tabH - h * 0.06f, x + w * 0.86f, y + h * 0.8f, 0.8f) + 0.7f;
      },
      kPaper);
  // front panel, tilted open a little
  const float lift = h * 0.3f * open;
  std::vector<V2> front = {{x - w * 0.04f + lift * 0.25f, y + h * 0.36f + lift * 0.1f},
                           {x + w * 1.04f + lift * 0.25f, y + h * 0.36f + lift * 0.1f},
                           {x + w, y + h},
                           {x, y + h}};
  PaintSolid(
      cv, [&](V2 p) { return SdPolygon(p, front) - 0.3f; }, kFolderEdge);
  Paint(
      cv, [&](V2 p) { return SdPolygon(p, front) + 0.6f; },
      [&](V2 p) { return Mix(kFolderLight, kFolderFront, std::clamp((p.y - y - h * 0.36f) / (h * 0.5f), 0.f, 1.f)); });
}

// A memory card, top-left (x, y), w × h pixels.
void DrawCard(Canvas& cv, float x, float y, float w, float h, const CardLook& look) {
  const float cut = look.compactFlash ? 0 : w * 0.28f;
  std::vector<V2> outline = {{x + cut, y}, {x + w, y}, {x + w, y + h}, {x, y + h}, {x, y + cut}};
  auto body = [&](V2 p) {
    return look.compactFlash ? SdRoundRect(p, x, y, x + w, y + h, w * 0.06f) : SdPolygon(p, outline) - 0.8f;
  };
  PaintSolid(
      cv,
      [&](V2 p) {
        return body(p - V2{1.2f, 1.4f}) + 0.6f;
      },
      kShadow, 0.25f);
  PaintSolid(cv, body, look.bodyDark);
  Paint(
      cv, [&](V2 p) { return body(p) + std::max(0.8f, w * 0.03f); },
      [&](V2 p) { return Mix(Mix(look.body, kPaper, 0.18f), look.body, std::clamp((p.y - y) / h * 1.6f, 0.f, 1.f)); });
  if (look.compactFlash) {
    // two rows of pin holes along the top edge
    const int pins = std::max(4, static_cast<int>(w / 3.2f));
    for (int i = 0; i < pins; ++i) {
      const float px = x + w * 0.1f + (w * 0.8f) * (i + 0.5f) / pins;
      PaintSolid(
          cv,
          [&](V2 p) {
            return SdCircle(p, {px, y + h * 0.07f}, std::max(0.45f, w * 0.022f));
          },
          look.bodyDark);
    }
  } else {
    // gold contacts under the top edge
    const int pads = 5;
    for (int i = 0; i < pads; ++i) {
      const float px0 = x + cut * 0.55f + (w - cut * 0.55f - w * 0.08f) * i / pads + w * 0.03f;
      const float px1 = px0 + (w - cut * 0.55f - w * 0.08f) / pads - w * 0.06f;
      PaintSolid(
          cv, [&](V2 p) { return SdRoundRect(p, px0, y + h * 0.05f, px1, y + h * 0.2f, 0.5f); }, kGold);
    }
  }
  // label
  const float ly0 = y + h * (look.compactFlash ? 0.24f : 0.34f), ly1 = y + h * 0.88f;
  PaintSolid(
      cv, [&](V2 p) { return SdRoundRect(p, x + w * 0.12f, ly0, x + w * 0.88f, ly1, w * 0.05f); }, look.label);
  // label rule lines and a small mark
  const float lh = ly1 - ly0;
  PaintSolid(
      cv,
      [&](V2 p) {
        return SdSegment(p, {x + w * 0.24f, ly0 + lh * 0.36f}, {x + w * 0.76f, ly0 + lh * 0.36f},
                         std::max(0.45f, lh * 0.07f));
      },
      look.labelInk, 0.85f);
  PaintSolid(
      cv,
      [&](V2 p) {
        return SdSegment(p, {x + w * 0.24f, ly0 + lh * 0.62f}, {x + w * 0.6f, ly0 + lh * 0.62f},
                         std::max(0.45f, lh * 0.07f));
      },
      look.labelInk, 0.6f);
}

// A sheet of paper centred at c, rotated by angle, w × h pixels.
void DrawSheet(Canvas& cv, V2 c, float w, float h, float angle, float opacity) {
  const float cs = std::cos(angle), sn = std::sin(angle);
  auto local = [&](V2 p) {
    const V2 d = p - c;
    return V2{d.x * cs + d.y * sn, -d.x * sn + d.y * cs};
  };
  const float fold = w * 0.3f;
  std::vector<V2> sheet = {
      {-w / 2, -h / 2}, {w / 2 - fold, -h / 2}, {w / 2, -h / 2 + fold}, {w / 2, h / 2}, {-w / 2, h / 2}};
  PaintSolid(
      cv,
      [&](V2 p) {
        return SdPolygon(local(p - V2{1.f, 1.2f}), sheet) + 0.3f;
      },
      kShadow, 0.25f * opacity);
  PaintSolid(
      cv, [&](V2 p) { return SdPolygon(local(p), sheet) - 0.2f; }, kPaperEdge, opacity);
  PaintSolid(
      cv, [&](V2 p) { return SdPolygon(local(p), sheet) + 0.55f; }, kPaper, opacity);
  std::vector<V2> corner = {{w / 2 - fold, -h / 2}, {w / 2 - fold, -h / 2 + fold}, {w / 2, -h / 2 + fold}};
  PaintSolid(
      cv, [&](V2 p) { return SdPolygon(local(p), corner); }, Hex(0xD5DCE6), opacity);
  for (int i = 0; i < 4; ++i) {
    const float ly = -h / 2 + h * (0.38f + 0.15f * i);
    const float lx1 = w / 2 - w * (i == 3 ? 0.45f : 0.2f);
    PaintSolid(
        cv,
        [&](V2 p) {
          return SdSegment(local(p), {-w / 2 + w * 0.2f, ly}, {lx1, ly}, 0.35f);
        },
        kPaperLine, opacity);
  }
}

// The word mark: a round emblem and "Quenlor".
void DrawLogo(Canvas& cv, V2 centre, float height) {
  const float scale = height / 10.f;
  const float textW = TextWidth("Quenlor") * scale;
  const float emblem = height * 0.56f;
  const float total = emblem * 2 + height * 0.35f + textW;
  const float x0 = centre.x - total / 2;
  const V2 ec{x0 + emblem, centre.y};
  Paint(
      cv, [&](V2 p) { return SdCircle(p, ec, emblem); },
      [&](V2 p) { return Mix(kInkLight, kInk, std::clamp((p.y - (ec.y - emblem)) / (2 * emblem), 0.f, 1.f)); });
  // three bars in the emblem: stacked layers of a card
  for (int i = 0; i < 3; ++i) {
    const float yy = ec.y - emblem * 0.42f + emblem * 0.42f * i;
    PaintSolid(
        cv,
        [&](V2 p) {
          return SdSegment(p, {ec.x - emblem * 0.45f + i * emblem * 0.12f, yy}, {ec.x + emblem * 0.45f, yy},
                           emblem * 0.1f);
        },
        kPaper);
  }
  const V2 origin{x0 + emblem * 2 + height * 0.35f, centre.y - height / 2};
  PaintSolid(
      cv, [&](V2 p) { return SdText(p, "Quenlor", origin, scale, 1.45f); }, kInk);
}

// The icon of a kind: its card with a round restore arrow on a green disc.
Canvas DrawIcon(int size, const CardLook& look, bool vga) {
  Canvas cv(size, size);
  const float s = size / 32.f;
  const bool small = size <= 16;
  DrawCard(cv, (small ? 2.f : 4.f) * s, 1.f * s, (small ? 22.f : 20.f) * s, (small ? 28.f : 26.f) * s, look);
  const float r = (small ? 9.5f : 8.8f) * s;
  const V2 c{32 * s - r - 0.6f * s, 32 * s - r - 0.6f * s};
  PaintSolid(
      cv,
      [&](V2 p) {
        return SdCircle(p - V2{0.5f * s, 0.7f * s}, c, r);
      },
      kShadow, 0.35f);
  PaintSolid(
      cv, [&](V2 p) { return SdCircle(p, c, r); }, vga ? Hex(0x000000) : kArrowDark);
  Paint(
      cv, [&](V2 p) { return SdCircle(p, c, r - std::max(0.7f, 0.8f * s)); },
      [&](V2 p) {
        return vga ? Hex(0x008000) : Mix(Hex(0x4CC26F), kArrow, std::clamp((p.y - c.y + r) / (2 * r), 0.f, 1.f));
      });
  const float ar = r * 0.52f;
  const float wgt = std::max(small ? 0.75f : 0.8f, r * 0.13f);
  const float a0 = 0.7f, a1 = 5.6f;
  PaintSolid(
      cv, [&](V2 p) { return SdArc(p, c, ar, wgt, a0, a1); }, kPaper);
  // arrow head at the arc's upper end, turning clockwise
  const V2 end{c.x + ar * std::cos(a0), c.y - ar * std::sin(a0)};
  const V2 dir{std::sin(a0), std::cos(a0)};
  const V2 radial{std::cos(a0), -std::sin(a0)};
  const float hs = wgt * 2.4f;
  std::vector<V2> head = {end + radial * hs - dir * (hs * 0.2f), end - radial * hs - dir * (hs * 0.2f),
                          end + dir * (hs * 1.1f)};
  PaintSolid(
      cv, [&](V2 p) { return SdPolygon(p, head); }, kPaper);
  return cv;
}

// ---- quantising --------------------------------------------------------

struct Rgb8 {
  std::uint8_t r, g, b;
  bool operator<(const Rgb8& o) const { return std::tie(r, g, b) < std::tie(o.r, o.g, o.b); }
  bool operator==(const Rgb8& o) const { return r == o.r && g == o.g && b == o.b; }
};

std::vector<Rgb8> MedianCut(const std::vector<Rgb8>& colours, std::size_t count) {
  std::vector<std::vector<Rgb8>> boxes{colours};
  while (boxes.size() < count) {
    std::size_t best = 0;
    int bestRange = -1, bestAxis = 0;
    for (std::size_t i = 0; i < boxes.size(); ++i) {
      if (boxes[i].size() < 2) continue;
      for (int axis = 0; axis < 3; ++axis) {
        int lo = 255, hi = 0;
        for (const Rgb8& c : boxes[i]) {
          const int v = axis == 0 ? c.r : axis == 1 ? c.g : c.b;
          lo = std::min(lo, v);
          hi = std::max(hi, v);
        }
        if (hi - lo > bestRange) bestRange = hi - lo, best = i, bestAxis = axis;
      }
    }
    if (bestRange <= 0) break;
    auto& box = boxes[best];
    std::sort(box.begin(), box.end(), [&](const Rgb8& a, const Rgb8& b) {
      return (bestAxis == 0 ? a.r : bestAxis == 1 ? a.g : a.b) < (bestAxis == 0 ? b.r : bestAxis == 1 ? b.g : b.b);
    });
    std::vector<Rgb8> upper(box.begin() + box.size() / 2, box.end());
    box.resize(box.size() / 2);
    boxes.push_back(std::move(upper));
  }
  std::vector<Rgb8> palette;
  for (const auto& box : boxes) {
    if (box.empty()) continue;
    unsigned r = 0, g = 0, b = 0;
    for (const Rgb8& c : box) r += c.r, g += c.g, b += c.b;
    const unsigned n = static_cast<unsigned>(box.size());
    palette.push_back(
        {static_cast<std::uint8_t>(r / n), static_cast<std::uint8_t>(g / n), static_cast<std::uint8_t>(b / n)});
  }
  return palette;
}

int Nearest(const std::vector<Rgb8>& palette, Rgb8 c, std::size_t first = 0) {
  int best = static_cast<int>(first), bestD = 1 << 30;
  for (std::size_t i = first; i < palette.size(); ++i) {
    const int dr = palette[i].r - c.r, dg = palette[i].g - c.g, db = palette[i].b - c.b;
    const int d = 3 * dr * dr + 4 * dg * dg + 2 * db * db;
    if (d < bestD) bestD = d, best = static_cast<int>(i);
  }
  return best;
}

std::uint8_t To8(float v) { return static_cast<std::uint8_t>(std::lround(std::clamp(v, 0.f, 1.f) * 255)); }

// The colour of a pixel over a background colour.
Rgb8 Flatten(const Rgba& p, Rgb bg) {
  return {To8(p.r + bg.r * (1 - p.a)), To8(p.g + bg.g * (1 - p.a)), To8(p.b + bg.b * (1 - p.a))};
}

const std::vector<Rgb8> kVga16 = {{0, 0, 0},       {128, 0, 0},   {0, 128, 0},   {128, 128, 0},
                                  {0, 0, 128},     {128, 0, 128}, {0, 128, 128}, {192, 192, 192},
                                  {128, 128, 128}, {255, 0, 0},   {0, 255, 0},   {255, 255, 0},
                                  {0, 0, 255},     {255, 0, 255}, {0, 255, 255}, {255, 255, 255}};

// ---- files -------------------------------------------------------------

struct Bytes {
  std::vector<std::uint8_t> v;
  void u8(unsigned x) { v.push_back(static_cast<std::uint8_t>(x)); }
  void u16(unsigned x) { u8(x & 255), u8(x >> 8); }
  void u32(std::uint32_t x) { u16(x & 0xFFFF), u16(x >> 16); }
  void tag(const char* t) {
    for (int i = 0; i < 4; ++i) u8(static_cast<std::uint8_t>(t[i]));
  }
  void put(const std::vector<std::uint8_t>& o) { v.insert(v.end(), o.begin(), o.end()); }
  void set32(std::size_t at, std::uint32_t x) {
    for (int i = 0; i < 4; ++i) v[at + i] = static_cast<std::uint8_t>(x >> (8 * i));
  }
};

// One icon image: BITMAPINFOHEADER, palette, colour rows, mask rows.
std::vector<std::uint8_t> IconImage(const Canvas& cv, int bits) {
  const int n = cv.w;
  Bytes b;
  b.u32(40), b.u32(n), b.u32(n * 2), b.u16(1), b.u16(bits), b.u32(0);
  const int rowBytes = ((n * bits + 31) / 32) * 4;
  const int maskRow = ((n + 31) / 32) * 4;
  b.u32(rowBytes * n + maskRow * n), b.u32(0), b.u32(0), b.u32(bits <= 8 ? (1u << bits) : 0), b.u32(0);
  std::vector<Rgb8> palette;
  if (bits == 4) palette = kVga16;
  if (bits == 8) {
    std::vector<Rgb8> colours;
    for (const Rgba& p : cv.px)
      if (p.a >= 0.5f) colours.push_back(Flatten(Rgba{p.r / p.a, p.g / p.a, p.b / p.a, 1}, {0, 0, 0}));
    std::sort(colours.begin(), colours.end());
    std::vector<Rgb8> unique(colours.begin(), std::unique(colours.begin(), colours.end()));
    palette = unique.size() <= 255 ? unique : MedianCut(colours, 255);
    palette.insert(palette.begin(), Rgb8{0, 0, 0});
    palette.resize(256, Rgb8{0, 0, 0});
  }
  for (const Rgb8& c : palette) b.u8(c.b), b.u8(c.g), b.u8(c.r), b.u8(0);
  for (int y = n - 1; y >= 0; --y) {
    std::vector<std::uint8_t> row(rowBytes, 0);
    for (int x = 0; x < n; ++x) {
      const Rgba& p = cv.px[y * n + x];
      if (bits == 32) {
        row[x * 4 + 0] = To8(p.b), row[x * 4 + 1] = To8(p.g), row[x * 4 + 2] = To8(p.r), row[x * 4 + 3] = To8(p.a);
        continue;
      }
      if (p.a < 0.5f) continue;  // index 0 under the mask
      const Rgb8 c = Flatten(Rgba{p.r / p.a, p.g / p.a, p.b / p.a, 1}, {0, 0, 0});
      const int idx = Nearest(palette, c, bits == 8 ? 1 : 0);
      if (bits == 8)
        row[x] = static_cast<std::uint8_t>(idx);
      else
        row[x / 2] |= static_cast<std::uint8_t>(x % 2 == 0 ? idx << 4 : idx);
    }
    b.put(row);
  }
  for (int y = n - 1; y >= 0; --y) {
    std::vector<std::uint8_t> row(maskRow, 0);
    for (int x = 0; x < n; ++x)
      if (cv.px[y * n + x].a < 0.5f) row[x / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
    b.put(row);
  }
  return b.v;
}

struct IconSpec {
  int size, bits;
};

void WriteIcon(const std::string& path, const CardLook& look, const CardLook& look16,
               const std::vector<IconSpec>& specs) {
  std::vector<std::vector<std::uint8_t>> images;
  for (const IconSpec& s : specs)
    images.push_back(IconImage(DrawIcon(s.size, s.bits == 4 ? look16 : look, s.bits == 4), s.bits));
  Bytes f;
  f.u16(0), f.u16(1), f.u16(static_cast<unsigned>(specs.size()));
  std::uint32_t offset = 6 + 16 * static_cast<std::uint32_t>(specs.size());
  for (std::size_t i = 0; i < specs.size(); ++i) {
    f.u8(specs[i].size == 256 ? 0 : specs[i].size), f.u8(specs[i].size);
    f.u8(specs[i].bits == 4 ? 16 : 0), f.u8(0), f.u16(1), f.u16(specs[i].bits);
    f.u32(static_cast<std::uint32_t>(images[i].size())), f.u32(offset);
    offset += static_cast<std::uint32_t>(images[i].size());
  }
  for (const auto& img : images) f.put(img);
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(f.v.data()), f.v.size());
}

// ---- clips -------------------------------------------------------------

constexpr int kClipW = 260, kClipH = 40, kFrames = 18;
const Rgb8 kMagenta{255, 0, 255};
// The dialog face the clip is seen against: half-covered edge pixels are
// blended with it, the rest of the background is left transparent.
const Rgb kFace = Hex(0xF0F0F0);

Canvas DrawFrame(int frame, const CardLook& look) {
  Canvas cv(kClipW, kClipH);
  const bool still = frame == kFrames - 1;
  DrawFolder(cv, 14, 5, 42, 31, still ? 0.f : 0.5f + 0.5f * std::sin(frame * 0.8f) * 0.0f);
  DrawCard(cv, 214, 3, look.compactFlash ? 32 : 27, look.compactFlash ? 33 : 34, look);
  if (still) {
    DrawLogo(cv, {kClipW / 2.f, kClipH / 2.f + 0.5f}, 15);
  } else {
    // along an arc from the folder's mouth to the card, turning as it goes
    const float t = frame / 16.f;
    const float ease = t * t * (3 - 2 * t);
    const float x = 46 + (224 - 46) * ease;
    const float y = 17 - 11 * std::sin(3.1415926f * ease) + 5 * ease;
    const float angle = -0.5f + 1.0f * ease;
    const float opacity = t < 0.08f ? 0.6f + t * 5 : (t > 0.94f ? 0.7f : 1.f);
    // a faint trail of the flight
    for (int k = 1; k <= 3; ++k) {
      const float tk = std::max(0.f, t - k * 0.05f);
      const float ek = tk * tk * (3 - 2 * tk);
      const V2 c{46 + (224 - 46) * ek, 17 - 11 * std::sin(3.1415926f * ek) + 5 * ek};
      if (t > 0.05f * k)
        PaintSolid(
            cv, [&](V2 p) { return SdCircle(p, c, 1.3f - 0.25f * k); }, kInkLight, 0.35f / k);
    }
    DrawSheet(cv, {x, y}, 14, 18, angle, opacity);
  }
  return cv;
}

std::vector<Rgb8> Flat(const Canvas& cv) {
  std::vector<Rgb8> out(cv.px.size());
  for (std::size_t i = 0; i < cv.px.size(); ++i) out[i] = cv.px[i].a < 0.5f ? kMagenta : Flatten(cv.px[i], kFace);
  return out;
}

// Run-length coding of 8-bit rows (bottom row first), with absolute runs
// for mixed stretches, an end-of-line after each row and end-of-bitmap.
std::vector<std::uint8_t> EncodeRle8(const std::vector<std::uint8_t>& pixels, int w, int h) {
  Bytes b;
  for (int y = h - 1; y >= 0; --y) {
    const std::uint8_t* row = &pixels[y * w];
    int x = 0;
    while (x < w) {
      int run = 1;
      while (x + run < w && run < 255 && row[x + run] == row[x]) ++run;
      if (run >= 3 || w - x < 3) {
        b.u8(run), b.u8(row[x]);
        x += run;
        continue;
      }
      // absolute stretch up to the next run of three
      int n = 0;
      while (x + n < w && n < 255) {
        if (x + n + 2 < w && row[x + n] == row[x + n + 1] && row[x + n] == row[x + n + 2]) break;
        ++n;
      }
      if (n < 3) {
        for (int i = 0; i < n; ++i) b.u8(1), b.u8(row[x + i]);
      } else {
        b.u8(0), b.u8(n);
        for (int i = 0; i < n; ++i) b.u8(row[x + i]);
        if (n % 2) b.u8(0);
      }
      x += n;
    }
    b.u8(0), b.u8(y == 0 ? 1 : 0);
  }
  return b.v;
}

void WriteClip(const std::string& path, const CardLook& look, bool rle) {
  std::vector<std::vector<Rgb8>> frames;
  std::vector<Rgb8> all;
  for (int f = 0; f < kFrames; ++f) {
    frames.push_back(Flat(DrawFrame(f, look)));
    for (const Rgb8& c : frames.back())
      if (!(c == kMagenta)) all.push_back(c);
  }
  std::sort(all.begin(), all.end());
  std::vector<Rgb8> unique(all.begin(), std::unique(all.begin(), all.end()));
  std::vector<Rgb8> palette = unique.size() <= 255 ? unique : MedianCut(all, 255);
  palette.insert(palette.begin(), kMagenta);
  palette.resize(256, Rgb8{0, 0, 0});

  std::map<Rgb8, std::uint8_t> cache;
  std::vector<std::vector<std::uint8_t>> chunks;
  std::uint32_t largest = 0;
  for (const auto& frame : frames) {
    std::vector<std::uint8_t> idx(kClipW * kClipH);
    for (std::size_t i = 0; i < frame.size(); ++i) {
      if (frame[i] == kMagenta) continue;
      auto it = cache.find(frame[i]);
      if (it == cache.end())
        it = cache.emplace(frame[i], static_cast<std::uint8_t>(Nearest(palette, frame[i], 1))).first;
      idx[i] = it->second;
    }
    std::vector<std::uint8_t> data;
    if (rle) {
      data = EncodeRle8(idx, kClipW, kClipH);
    } else {
      for (int y = kClipH - 1; y >= 0; --y)
        data.insert(data.end(), idx.begin() + y * kClipW, idx.begin() + (y + 1) * kClipW);
    }
    largest = std::max<std::uint32_t>(largest, static_cast<std::uint32_t>(data.size()));
    chunks.push_back(std::move(data));
  }

  Bytes f;
  f.tag("RIFF"), f.u32(0), f.tag("AVI ");
  f.tag("LIST");
  const std::size_t hdrlSize = f.v.size();
  f.u32(0), f.tag("hdrl");
  f.tag("avih"), f.u32(56);
  f.u32(100000), f.u32(largest * 10), f.u32(0), f.u32(0x10 /* has index */), f.u32(kFrames), f.u32(0), f.u32(1);
  f.u32(largest), f.u32(kClipW), f.u32(kClipH), f.u32(0), f.u32(0), f.u32(0), f.u32(0);
  f.tag("LIST");
  const std::size_t strlSize = f.v.size();
  f.u32(0), f.tag("strl");
  f.tag("strh"), f.u32(56);
  f.tag("vids"), f.tag(rle ? "mrle" : "DIB "), f.u32(0), f.u16(0), f.u16(0), f.u32(0);
  f.u32(1), f.u32(10), f.u32(0), f.u32(kFrames), f.u32(largest), f.u32(0xFFFFFFFF), f.u32(0);
  f.u16(0), f.u16(0), f.u16(kClipW), f.u16(kClipH);
  f.tag("strf"), f.u32(40 + 1024);
  f.u32(40), f.u32(kClipW), f.u32(kClipH), f.u16(1), f.u16(8), f.u32(rle ? 1 : 0);
  f.u32(rle ? largest : kClipW * kClipH), f.u32(0), f.u32(0), f.u32(256), f.u32(0);
  for (const Rgb8& c : palette) f.u8(c.b), f.u8(c.g), f.u8(c.r), f.u8(0);
  f.set32(strlSize, static_cast<std::uint32_t>(f.v.size() - strlSize - 4));
  f.set32(hdrlSize, static_cast<std::uint32_t>(f.v.size() - hdrlSize - 4));

  f.tag("LIST");
  const std::size_t moviSize = f.v.size();
  f.u32(0);
  const std::size_t moviTag = f.v.size();
  f.tag("movi");
  std::vector<std::pair<std::uint32_t, std::uint32_t>> index;
  for (const auto& data : chunks) {
    index.push_back({static_cast<std::uint32_t>(f.v.size() - moviTag), static_cast<std::uint32_t>(data.size())});
    f.tag(rle ? "00dc" : "00db"), f.u32(static_cast<std::uint32_t>(data.size()));
    f.put(data);
    if (data.size() % 2) f.u8(0);
  }
  f.set32(moviSize, static_cast<std::uint32_t>(f.v.size() - moviSize - 4));
  f.tag("idx1"), f.u32(16 * kFrames);
  for (const auto& [offset, size] : index)
    f.tag(rle ? "00dc" : "00db"), f.u32(0x10 /* key frame */), f.u32(offset), f.u32(size);
  f.set32(4, static_cast<std::uint32_t>(f.v.size() - 8));
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(f.v.data()), f.v.size());
}

// A picture of every frame of a clip, one below the other, for looking at
// the drawings (PPM).
void WriteContactSheet(const std::string& path, const CardLook& look) {
  std::ofstream out(path, std::ios::binary);
  out << "P6\n" << kClipW << ' ' << (kClipH + 2) * kFrames << "\n255\n";
  for (int fr = 0; fr < kFrames; ++fr) {
    const auto px = Flat(DrawFrame(fr, look));
    for (int y = 0; y < kClipH + 2; ++y)
      for (int x = 0; x < kClipW; ++x) {
        Rgb8 c = y < kClipH ? px[y * kClipW + x] : Rgb8{90, 90, 90};
        if (c == kMagenta) c = {240, 240, 240};
        out.put(static_cast<char>(c.r)).put(static_cast<char>(c.g)).put(static_cast<char>(c.b));
      }
  }
}

// The picture of each icon and clip, by resource ID.
struct IconArt {
  unsigned id;
  const CardLook& look;
  const CardLook& look16;
  std::vector<IconSpec> images;
};
struct ClipArt {
  unsigned id;
  const CardLook& look;
  bool rle;
};

const IconArt kIconArt[] = {
    {tessarin::IDI_WINCE,
     kWinCeCard,
     kWinCeCard16,
     {{48, 32}, {32, 32}, {16, 32}, {48, 8}, {32, 8}, {16, 8}, {32, 4}, {16, 4}}},
    {tessarin::IDI_DOS, kDosCard, kDosCard16, {{32, 4}, {16, 4}, {32, 8}, {16, 8}}},
    {tessarin::IDI_ROMDOS, kRomDosCard, kRomDosCard16, {{32, 4}, {32, 8}}},
};
const ClipArt kClipArt[] = {
    {tessarin::IDA_DOS, kDosCard, true},
    {tessarin::IDA_ROMDOS, kRomDosCard, true},
    {tessarin::IDA_WINCE, kWinCeCard, false},
};

template <typename Art, std::size_t N>
const Art* ArtOf(const Art (&art)[N], const tessarin::ResourceFile& resource) {
  for (const Art& a : art)
    if (a.id == resource.id) return &a;
  std::fprintf(stderr, "tessarin_art: no picture for %s (%u)\n", resource.name, resource.id);
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <output directory> [--sheets]\n", argv[0]);
    return 2;
  }
  const std::string dir = std::string(argv[1]) + "/";
  const bool sheets = argc > 2 && std::string(argv[2]) == "--sheets";
  for (const tessarin::ResourceFile& icon : tessarin::kIconResources) {
    const IconArt* art = ArtOf(kIconArt, icon);
    if (art == nullptr) return 1;
    WriteIcon(dir + icon.file, art->look, art->look16, art->images);
  }
  for (const tessarin::ResourceFile& clip : tessarin::kClipResources) {
    const ClipArt* art = ArtOf(kClipArt, clip);
    if (art == nullptr) return 1;
    WriteClip(dir + clip.file, art->look, art->rle);
    if (sheets) {
      const std::string file = clip.file;
      WriteContactSheet(dir + file.substr(0, file.rfind('.')) + ".ppm", art->look);
    }
  }
  return 0;
}
