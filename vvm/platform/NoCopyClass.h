// NoCopyClass: a base that forbids copying its derived classes.
#ifndef NOCOPYCLASS_H
#define NOCOPYCLASS_H

class NoCopyClass
{
  public:
    NoCopyClass(const NoCopyClass&) = delete;
    NoCopyClass& operator=(const NoCopyClass&) = delete;

  protected:
    NoCopyClass() = default;
    ~NoCopyClass() = default;
};

#endif
