// Loads the library as the renderer does, initialises one instance that loads
// nothing, and reports each step.
#include <cstdio>

#include "renderer/standin.h"

int main(int argc, char **argv) {
    const std::string path = argc > 1 ? argv[1] : standin::default_library_path();
    standin::Renderer renderer;
    if (!renderer.load(path)) {
        fprintf(stderr, "cannot load the shader library: %s\n", renderer.load_error().c_str());
        return 1;
    }
    printf("loaded %s: Nimbrel version %d, instance init requested: %d\n", path.c_str(),
           renderer.shader_version(), renderer.instance_init_requested());
    standin::State state;
    standin::Instance instance(renderer,
                               standin::Params{"nothing.raw", {0, 0, 0}, 0, 0, 6, 1, 1, 1});
    instance.connect_coord([](miVector point) { return point; });
    instance.init(state);
    if (!instance.user_pointer()) return 1;
    const std::array<float, 16> mapping = instance.looked_up_mapping(state);
    printf("instance initialised: %d x %d x %d, file type %d, mapping diagonal %g %g %g %g\n",
           instance.param<int32_t>("width"), instance.param<int32_t>("height"),
           instance.param<int32_t>("slices"), instance.param<int32_t>("filetype"), mapping[0],
           mapping[5], mapping[10], mapping[15]);
    instance.exit(state);
    printf("instance released, %zu blocks left\n", renderer.allocator().live_blocks());
    return renderer.allocator().live_blocks() == 0 ? 0 : 1;
}
