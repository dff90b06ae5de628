#ifndef TREL_VIEWERASSETS_H
#define TREL_VIEWERASSETS_H

// The viewer's style and script (src/data/viewer), compiled in from their files.
namespace TrelViewer {
extern const char* const style;
extern const char* const script;
} // namespace TrelViewer

#endif
