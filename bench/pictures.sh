# Picture sets of the benchmark scripts (sourced, not run): the Debian
# packages they come from, the default set of 26 pictures (16x16 icons to
# 1920x1080 wallpapers), and large pictures of 2 megapixels and more.
# shellcheck shell=bash
DEFAULT_PACKAGES=(tango-icon-theme libgtk-3-doc desktop-base)
DEFAULT_PICTURES=(
  /usr/share/icons/Tango/16x16/actions/edit-redo.png
  /usr/share/icons/Tango/16x16/apps/internet-mail.png
  /usr/share/icons/Tango/22x22/status/weather-clear.png
  /usr/share/icons/Tango/24x24/categories/redhat-games.png
  /usr/share/icons/Tango/24x24/emotes/face-grin.png
  /usr/share/icons/Tango/32x32/apps/proxy-config.png
  /usr/share/icons/Tango/32x32/devices/gnome-dev-dvd.png
  /usr/share/icons/Tango/32x32/emotes/face-sad.png
  /usr/share/gtk-doc/html/gtk3/border1.png
  /usr/share/gtk-doc/html/gtk3/action-bar.png
  /usr/share/gtk-doc/html/gtk3/icon-view.png
  /usr/share/gtk-doc/html/gtk3/ease-in-out.png
  /usr/share/gtk-doc/html/gtk3/fontchooser.png
  /usr/share/gtk-doc/html/gtk3/filechooser.png
  /usr/share/gtk-doc/html/gtk3/getting-started-app4.png
  /usr/share/gtk-doc/html/gtk3/figure-hierarchical-drawing.png
  /usr/share/gtk-doc/html/gtk3/inspector.png
  /usr/share/gtk-doc/html/gtk3/builder-shortcuts.png
  /usr/share/desktop-base/debian-logos/logo-256.png
  /usr/share/desktop-base/futureprototype-theme/grub/grub-4x3.png
  /usr/share/desktop-base/joy-theme/grub/grub-4x3.png
  /usr/share/desktop-base/emerald-theme/grub/grub-4x3.png
  /usr/share/plymouth/themes/emerald/glow.png
  /usr/share/plymouth/themes/joy/background.png
  /usr/share/desktop-base/homeworld-theme/grub/grub-16x9.png
  /usr/share/plymouth/themes/moonlight/background.png
)

LARGE_PICTURES=(
  /usr/share/desktop-base/softwaves-theme/grub/grub-16x9.png
  /usr/share/plymouth/themes/softwaves/plymouth_background_waves.png
  /usr/share/plymouth/themes/emerald/logo+emerald.png
)
