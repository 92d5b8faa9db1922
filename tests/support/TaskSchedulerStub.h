// The Task Scheduler 1.0 interfaces with every operation refused (E_NOTIMPL) and a reference
// count that frees nothing: the doubles of the scheduler and of its work-item enumerator derive
// from them and implement only what they play. Free of the test framework, so that the fuzz
// targets use them too.
#pragma once

#include <windows.h>
#include <mstask.h>

namespace VrxTest {

template <typename TInterface>
class StaticUnknown : public TInterface {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --m_refs; }
    ULONG m_refs = 0;
};

class CWorkItemsStub : public StaticUnknown<IEnumWorkItems> {
public:
    HRESULT STDMETHODCALLTYPE Next(ULONG, LPWSTR**, ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Skip(ULONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reset() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Clone(IEnumWorkItems**) override { return E_NOTIMPL; }
};

class CTaskSchedulerStub : public StaticUnknown<ITaskScheduler> {
public:
    HRESULT STDMETHODCALLTYPE SetTargetComputer(LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTargetComputer(LPWSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Enum(IEnumWorkItems**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Activate(LPCWSTR, REFIID, IUnknown**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Delete(LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE NewWorkItem(LPCWSTR, REFCLSID, REFIID, IUnknown**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE AddWorkItem(LPCWSTR, IScheduledWorkItem*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE IsOfType(LPCWSTR, REFIID) override { return E_NOTIMPL; }
};

}  // namespace VrxTest
