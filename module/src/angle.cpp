// The Python classes AngleRadians and AngleDegrees.
#include "angle.hpp"

#include "binding/compare.hpp"
#include "binding/def.hpp"
#include "binding/pickle.hpp"
#include "classes.hpp"

namespace quorral {

using galdrin::AngleDegrees;
using galdrin::AngleRadians;

PyTypeObject* PyClass<AngleRadians>::create() {
    using D = Def<AngleRadians>;
    using A = const AngleRadians&;
    ClassSpec spec{.name = "AngleRadians"};
    D::constructor<"AngleRadians(angle)", [](double angle) { return AngleRadians{angle}; }>(spec);
    spec.methods = {
        D::method<"zero()", [] { return AngleRadians::zero(); }>(),
        D::method<"pi()", [] { return AngleRadians::pi(); }>(),
        D::method<"two_pi()", [] { return AngleRadians::two_pi(); }>(),
        D::method<"half_pi()", [] { return AngleRadians::half_pi(); }>(),
        D::method<"quarter_pi()", [] { return AngleRadians::quarter_pi(); }>(),
        D::method<"third_pi()", [] { return AngleRadians::third_pi(); }>(),
        D::method<"sixth_pi()", [] { return AngleRadians::sixth_pi(); }>(),
        D::method<"sin($self)", [](A a) { return sin(a); }>(),
        D::method<"cos($self)", [](A a) { return cos(a); }>(),
        D::method<"tan($self)", [](A a) { return tan(a); }>(),
        D::method<"sec($self)", [](A a) { return sec(a); }>(),
        D::method<"csc($self)", [](A a) { return csc(a); }>(),
        D::method<"cot($self)", [](A a) { return cot(a); }>(),
        D::method<"to_degrees($self)", [](A a) { return to_degrees(a); }>(),
        reduce_method<AngleRadians>(),
    };
    spec.properties = {D::field<&AngleRadians::angle>("angle")};
    spec.slots = {
        slot(Py_nb_add, &D::binary<[](A a, A b) { return a + b; }>),
        slot(Py_nb_subtract, &D::binary<[](A a, A b) { return a - b; }>),
        slot(Py_nb_multiply, &D::binary<[](A a, double rhs) { return a * rhs; }>),
        slot(Py_nb_true_divide, &D::binary<[](A a, double rhs) { return a / rhs; }>),
        slot(Py_nb_negative, &D::unary<[](A a) { return -a; }>),
        slot(Py_tp_repr, &D::unary<[](A a) { return to_string(a); }>),
        slot(Py_tp_richcompare, &ordered_richcompare<AngleRadians>),
    };
    return create_type<AngleRadians>(std::move(spec));
}

PyTypeObject* PyClass<AngleDegrees>::create() {
    using D = Def<AngleDegrees>;
    using A = const AngleDegrees&;
    ClassSpec spec{.name = "AngleDegrees"};
    D::constructor<"AngleDegrees(angle)", [](double angle) { return AngleDegrees{angle}; }>(spec);
    spec.methods = {
        D::method<"to_radians($self)", [](A d) { return to_radians(d); }>(),
        reduce_method<AngleDegrees>(),
    };
    spec.properties = {D::field<&AngleDegrees::angle>("angle")};
    spec.slots = {
        slot(Py_nb_negative, &D::unary<[](A d) { return -d; }>),
        slot(Py_tp_repr, &D::unary<[](A d) { return to_string(d); }>),
        slot(Py_tp_richcompare, &ordered_richcompare<AngleDegrees>),
    };
    return create_type<AngleDegrees>(std::move(spec));
}

}  // namespace quorral
