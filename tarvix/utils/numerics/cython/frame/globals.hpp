// Module globals looked up at each use, as Python code would: first the
// module namespace, then builtins; NameError when neither has the name.
#pragma once

#include "names.hpp"

namespace frame {

// New reference to the global `name`, or nullptr with NameError set.
Ref module_global(const Name& name);

// New reference to `np.<attribute>`, with `np` looked up as a module global.
Ref numpy_attribute(const Name& attribute);

}  // namespace frame

#include <initializer_list>

namespace frame {

// np.<function>(*positional), or np.<function>(*positional, dtype=np.<dtype>)
// when `dtype` is given: the function is looked up first, then the dtype,
// as the Python expression would.
Ref call_numpy(const Name& function, std::initializer_list<PyObject*> positional,
               const Name* dtype = nullptr);

}  // namespace frame
