// Compiled with the include path of window/ or song/: only midi/'s public headers may be found.
#include PROBE_HEADER
