// The Python classes QuatList and QuatListIterator.
#include "vec_list/list_class.hpp"

namespace quorral {

PyTypeObject* PyClass<QuatArray>::create() {
    ClassSpec spec = list_spec<galdrin::Quat>();
    add_quat_batch_operations(spec);
    return create_type<QuatArray>(std::move(spec));
}

PyTypeObject* PyClass<QuatSnapshot>::create() { return create_snapshot_type<galdrin::Quat>(); }

}  // namespace quorral
