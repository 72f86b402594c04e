// A header of the program itself that the installed library must never take
// for its own.
#error "the program's own component/error.h was included by a Brightkeep header"
