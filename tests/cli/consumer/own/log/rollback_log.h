// A header of the program itself that the installed library must never take
// for its own.
#error "the program's own log/rollback_log.h was included by a Brightkeep header"
