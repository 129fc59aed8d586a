// Quiltcam: the camera as a mosaic of tinted miniatures of itself.
#include "app/quiltcam.h"

int main(int argc, char* argv[]) {
    (void)argc;  // Quiltcam takes no options
    (void)argv;
    startUp();
    for (;;) framePass();
}
