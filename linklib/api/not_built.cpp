// Family operations that are not built yet.  Each answers ResultFailed with ErrModuleCall stored as
// the family's last error and changes nothing else.  A definition leaves this file when its
// operation is built in its family's directory.  Every operation of both families is built now.
