// The DLL's replacement of libstdc++'s verbose terminate handler. The library lets no exception
// leave its exports, so terminate is never expected; the verbose handler would print the type of
// the escaping exception to a console the host may not have, and links the symbol demangler
// (about 45 KB) into the DLL for it. Defining the handler here keeps libstdc++'s from linking.
#include <cstdlib>

namespace __gnu_cxx {
void __verbose_terminate_handler() {
    std::abort();
}
}  // namespace __gnu_cxx
