#include "qel.h"

int main(int argc, char** argv)
{
    qel_init();
    return qelpack_main(argc, argv);
}
