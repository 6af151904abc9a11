# The shared core library kesp_core: the integrator (lsoda) and the z-scan
# model and fit (zscan) in one shared object, for the Python build only. Both
# extension modules, kesp_wrapper and zscanfit._core, link it, so they share
# one copy of the per-thread state (the integrator's message sink, the
# interrupt check, the model's thread count) instead of each carrying its
# own. Relies on the lsoda and zscan targets, whose object files it reuses
# (the C++ tests keep linking the static libraries), and on MINPACK.
#
# It is installed in KESP_CORE_LIBDIR beside the top of site-packages; each
# module finds it through an $ORIGIN-relative run path, so the installation
# can be moved as a whole (pip --target, virtual environments, wheels).
set(KESP_CORE_LIBDIR "kesp_wrapper.libs")

add_library(kesp_core SHARED $<TARGET_OBJECTS:lsoda> $<TARGET_OBJECTS:zscan>)
target_include_directories(kesp_core INTERFACE
  $<TARGET_PROPERTY:lsoda,INTERFACE_INCLUDE_DIRECTORIES>
  $<TARGET_PROPERTY:zscan,INTERFACE_INCLUDE_DIRECTORIES>)
target_link_libraries(kesp_core PRIVATE ${MINPACK_LIBRARY})
# Every object is resolved inside the library at link time, and its calls of
# its own functions are bound there too: direct calls, as in a static link,
# instead of calls through the procedure linkage table (about 3 % of a fit's
# time otherwise).
target_link_options(kesp_core PRIVATE "LINKER:--no-undefined" "LINKER:-Bsymbolic-functions")

install(TARGETS kesp_core LIBRARY DESTINATION ${KESP_CORE_LIBDIR})

# A module installed at the top of site-packages finds the core through the
# run path $ORIGIN/${KESP_CORE_LIBDIR}; one in a package folder through
# $ORIGIN/../${KESP_CORE_LIBDIR}.
