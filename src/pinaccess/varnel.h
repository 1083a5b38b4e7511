// The board's pin-access library, libvarnel.so, as this tool uses it.
//
// The tool is compiled against this header alone. On the board the maker's
// libvarnel.so implements it; here the simulated board in simboard/ does.
#ifndef VARNEL_H
#define VARNEL_H

// 0 is input, 1 is output. Read back, any other value means "neither".
enum GPIO_Direction : int {
    GPIO_INPUT = 0,
    GPIO_OUTPUT = 1,
};

enum GPIO_Irq_Type : int {
    GPIO_IRQ_RISING = 1,
    GPIO_IRQ_FALLING = 2,
    GPIO_IRQ_BOTH = 3,
};

// Receives the interrupts armed with GPIOPin::setIrq. The library calls
// handleIrq from a thread of its own, one call at a time.
class GPIO_Irq_Handler_Object {
public:
    virtual int handleIrq(int pin, GPIO_Irq_Type type) = 0;
};

// A handle on one pin. Every operation records its result code, which
// getLastResult() returns: 0 for success, anything else for a failure.
class GPIOPin {
public:
    explicit GPIOPin(int pin);
    ~GPIOPin();

    void setDirection(GPIO_Direction dir);
    GPIO_Direction getDirection();
    void set(int level);
    int get();

    // Starts PWM output and returns at once; it runs on inside the calling
    // process until it stops.
    void setPWM(int freq, int duty);
    bool isPWMRunning();

    // Arms the interrupt and returns at once; from then on, while the
    // process lives, the library calls handler->handleIrq for each edge.
    // The handler stays owned by the caller and must outlive the handling.
    void setIrq(GPIO_Irq_Type type, GPIO_Irq_Handler_Object* handler, long debounce);

    int getLastResult();

private:
    GPIOPin(const GPIOPin&) = delete;
    GPIOPin& operator=(const GPIOPin&) = delete;

    int pin;
    int lastResult;
};

class GPIOAccess {
public:
    static bool isPinUsable(int pin);
};

#endif
