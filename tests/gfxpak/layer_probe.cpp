// Built only by the layer-map tests (CMakeLists.txt), against one layer of
// gfxpak: the header it is given belongs above that layer, so it must not
// be found.
#include GFXPAK_PROBE_HEADER
