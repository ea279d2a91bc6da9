/* The smallest projector stand-in: a Windows program that only carries resources. */
int main(void) { return 0; }
