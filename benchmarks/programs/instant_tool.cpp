// The stand-in restart tool of the whole-process benchmark: a small compiled
// program that exits at once with status 0, without reading its input, so
// that a timed run measures the daemon and not the tool.

int main() {
    return 0;
}
