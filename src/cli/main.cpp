#include <cstdio>

int main(int, char**) {
  std::printf("yvn2psd: conversion arrives with the end-to-end work\n");
  return -1;
}
