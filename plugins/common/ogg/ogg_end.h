// What the Ogg decoders share: whether a file holds the end of its stream.
#ifndef KERNOVA_PLUGINS_OGG_END_H
#define KERNOVA_PLUGINS_OGG_END_H

namespace knplugin {

// True when the file ends in a whole Ogg page that carries the end-of-stream mark (bytes that
// begin no page, such as an appended tag, may follow it). A cut file ends in an earlier page or
// in part of one, and the pages hold no total that would tell otherwise.
bool EndsWithStreamEnd(const char *fileName);

} // namespace knplugin

#endif
