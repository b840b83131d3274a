/* A host function that happens to share a plain name with the C core's search. */
int match(int x) { return 2 * x; }

int hostMatch(int x) { return match(x); }
