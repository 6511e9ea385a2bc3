// The Python classes VecList and VecListIterator.
#include "vec_list/batch.hpp"
#include "vec_list/list_class.hpp"

namespace quorral {

PyTypeObject* PyClass<VecArray>::create() {
    ClassSpec spec = list_spec<galdrin::Vec3d>();
    add_batch_operations(spec);
    add_pairwise_operations(spec);
    add_column_operations(spec);
    return create_type<VecArray>(std::move(spec));
}

PyTypeObject* PyClass<VecSnapshot>::create() { return create_snapshot_type<galdrin::Vec3d>(); }

}  // namespace quorral
