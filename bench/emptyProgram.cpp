#include "zolUrdaTrace.h"

int main()
{
    return currentMosaId == kNoMosaSelected ? 0 : 1;
}
