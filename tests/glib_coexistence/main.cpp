// Compiles the library headers next to GLib in both include orders (the two other files);
// running it checks that both orders see the same values.
int glib_first_true();
int glib_last_true();

int main() { return glib_first_true() == 1 && glib_last_true() == 1 ? 0 : 1; }
