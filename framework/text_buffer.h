// The one size of the system's fixed text buffers: status texts, paths and port names, the
// byte count text.  255 characters and the terminating NUL; a text that would not fit is cut
// or refused where it is made, never written past its buffer.
#pragma once

constexpr int kTextBufferSize = 256;
