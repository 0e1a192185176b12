// Stand-in for the index routines the table routines call, for a store in
// which no table has an index. Replaced by the index implementation.
#include "manager/tablestore/indexes.h"

int i4initialize_pools(int, int) {
    return 0;
}
int i4release_index(int) {
    return 0;
}
int i4close_index(int) {
    return 0;
}
int i4update_keys(int) {
    return 0;
}
int i4add_keys(int) {
    return 0;
}
// Never reached: without indexes no table has a selected index.
int i4table_first() {
    return -1;
}
int i4table_last() {
    return -1;
}
int i4table_skip(int) {
    return -1;
}
