// The Python classes RigidTransformList and RigidTransformListIterator: many
// poses at once, applied and composed element by element on the pool.
#include "rigid_transform.hpp"
#include "vec_list/batch.hpp"
#include "vec_list/list_class.hpp"

namespace quorral {

using galdrin::Quat;
using galdrin::RigidTransform;
using galdrin::Vec3d;

namespace {

void add_rigid_batch_operations(ClassSpec& spec) {
    using D = Def<RigidArray>;
    const std::initializer_list<PyMethodDef> methods = {
        D::method<"from_lists(rotations, translations)", [](const QuatArray& q, const VecArray& t) {
            return map_pairs("rotations", q.items, "translations", t.items,
                             [](const Quat& r, const Vec3d& p) { return RigidTransform{r, p}; });
        }>(),
        D::method<"rotations($self)", [](const RigidArray& a) {
            return map_elements(a, [](const RigidTransform& x) { return x.rotation; });
        }>(),
        D::method<"translations($self)", [](const RigidArray& a) {
            return map_elements(a, [](const RigidTransform& x) { return x.translation; });
        }>(),
        D::method<"apply($self, points)", [](const RigidArray& a, OneOrList<Vec3d> points) {
            return map_with(a, points, "points", [](const RigidTransform& x, const Vec3d& p) { return apply(x, p); },
                            COSTLY_GRAIN);
        }>(),
        D::method<"then($self, other)", [](const RigidArray& a, OneOrList<RigidTransform> other) {
            return map_with(a, other, "other",
                            [](const RigidTransform& x, const RigidTransform& y) { return then(x, y); }, COSTLY_GRAIN);
        }>(),
        D::method<"inverse($self)", [](const RigidArray& a) {
            return map_elements(a, [](const RigidTransform& x) { return inverse(x); }, COSTLY_GRAIN);
        }>(),
    };
    spec.methods.insert(spec.methods.end(), methods);
}

}  // namespace

PyTypeObject* PyClass<RigidArray>::create() {
    ClassSpec spec = list_spec<RigidTransform>();
    add_rigid_batch_operations(spec);
    return create_type<RigidArray>(std::move(spec));
}

PyTypeObject* PyClass<RigidSnapshot>::create() { return create_snapshot_type<RigidTransform>(); }

}  // namespace quorral
