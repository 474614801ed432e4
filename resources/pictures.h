// The wizard's two compiled-in pictures as XPM data (two characters per
// pixel, 256 colours each), ready for gdk_pixbuf_new_from_xpm_data.
// tools/make_pictures.py draws them.
#ifndef OVN8_RESOURCES_PICTURES_H_
#define OVN8_RESOURCES_PICTURES_H_

// 158 x 286, fully opaque: the banner at the left of the wizard's pages.
extern const char* const kBannerXpm[];
// 256 x 256 with transparent corners (colour "None"): the window icon.
extern const char* const kIconXpm[];

constexpr int kBannerWidth = 158;
constexpr int kBannerHeight = 286;
constexpr int kIconSize = 256;

#endif  // OVN8_RESOURCES_PICTURES_H_
