#include "pcmtool.h"

int main(int argc, char** argv)
{
    pcm_init();
    return sndsquash_main(argc, argv);
}
