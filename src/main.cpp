// VNPPSvc: wires the program's objects together and runs the chosen mode.
int main() { return 0; }
