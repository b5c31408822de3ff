// The floor for vantrell's run time: a program that loads the same libraries and does nothing else.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

int main()
{
    // Referencing each library keeps the linker from dropping it.
    return avformat_version() == 0 || avcodec_version() == 0 || avutil_version() == 0;
}
